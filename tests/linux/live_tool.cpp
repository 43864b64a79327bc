// Helpers of scripts/run and scripts/bench-live on a live audio server:
//   live_tool tone FREQ SECONDS AMPLITUDE OUT.wav [SILENT]   a test tone
//   live_tool wav RATE IN.pcm OUT.wav                s16le mono to WAV,
//                                                    measured
//   live_tool bench TAP SECONDS TONE.wav [RUNS] [pw-record] [own|exclude Q.wav]
//         [lead]
//       the tap beside parec (and pw-record), leaving out our PID ("own", as
//       a parent's), or only the mix's latency with Q.wav's player left out
//       ("lead": TONE.wav's first second is silent, its player already on)
//   live_tool mix TAP SECONDS PLAYERS DIR [RUNS]
//       PLAYERS distinct tones, the first left out: CPU and lost windows
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "tests/linux/tone.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int usage() {
  std::fprintf(stderr,
               "usage: live_tool tone FREQ SECONDS AMPLITUDE OUT.wav [SILENT]\n"
               "       live_tool wav RATE IN.pcm OUT.wav\n"
               "       live_tool bench TAP SECONDS TONE.wav [RUNS] [pw-record] "
               "[own] [exclude QUIET.wav] [lead]\n"
               "       live_tool mix TAP SECONDS PLAYERS DIR [RUNS]\n");
  return 2;
}

// A child with its standard input, output and error on pipes.
struct Process {
  pid_t pid = -1;
  int in = -1, out = -1, err = -1;
  std::string errText;
  uint64_t bytes = 0;
  std::optional<double> markerSeconds;  // first loud sample after the marker
  int16_t carry = 0;
  bool odd = false;
  rusage usage{};
  bool ended = false;
  bool keep = false;
  std::string data;  // what it wrote, when kept
  long peakKiB = 0;  // VmHWM, last seen
};

Process start(const std::vector<std::string>& argv) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
    std::exit(1);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<char*> args;
  for (const std::string& arg : argv)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  Process p;
  if (posix_spawnp(&p.pid, args[0], &actions, nullptr, args.data(), environ) !=
      0) {
    std::fprintf(stderr, "cannot start %s\n", args[0]);
    std::exit(1);
  }
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]), close(out[1]), close(err[1]);
  p.in = in[1], p.out = out[0], p.err = err[0];
  return p;
}

// Reads what is there; notes the first loud sample once `armed`.
void pump(Process& p, bool armed, Clock::time_point markerTime) {
  pollfd fds[2] = {{p.out, POLLIN, 0}, {p.err, POLLIN, 0}};
  if (poll(fds, 2, 0) <= 0) return;
  char buffer[65536];
  if (fds[1].revents) {
    const ssize_t n = read(p.err, buffer, sizeof buffer);
    if (n > 0) p.errText.append(buffer, size_t(n));
  }
  if (!fds[0].revents) return;
  const ssize_t n = read(p.out, buffer, sizeof buffer);
  if (n <= 0) return;
  if (p.keep) p.data.append(buffer, size_t(n));
  for (ssize_t i = 0; i < n; ++i) {
    // Samples are counted across reads, so an odd split does not shift them.
    if (p.odd) {
      const auto sample = int16_t(uint16_t(uint8_t(p.carry)) |
                                  uint16_t(uint8_t(buffer[i])) << 8);
      if (armed && !p.markerSeconds && std::abs(int(sample)) > 4000) {
        p.markerSeconds =
            std::chrono::duration<double>(Clock::now() - markerTime).count();
      }
    } else {
      p.carry = int16_t(uint8_t(buffer[i]));
    }
    p.odd = !p.odd;
  }
  p.bytes += uint64_t(n);
}

// The peak RSS from /proc: a spawned child's ru_maxrss starts from its
// parent's RSS at exec, so it would follow live_tool's growth.
void notePeak(Process& p) {
  std::ifstream status("/proc/" + std::to_string(p.pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) {
      p.peakKiB = std::max(p.peakKiB, std::atol(line.c_str() + 6));
    }
  }
}

void finish(Process& p, int signo) {
  notePeak(p);
  if (signo == 0) {
    close(p.in);
  } else {
    kill(p.pid, signo);
  }
  int status = 0;
  wait4(p.pid, &status, 0, &p.usage);
}

double cpuSeconds(const rusage& u) {
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void summary(const char* figure, const std::string& measured,
             const char* target, bool met) {
  std::printf("summary\t%s\t%s\t%s\t%s\n", figure, measured.c_str(), target,
              met ? "met" : "missed");
}

// What one side-by-side recording plays and records.
struct Setup {
  std::string tapPath;
  double seconds = 10;
  std::string tone;                     // played 1.5 s in, the marker
  bool lead = false;                    // the tone's first second is silent
  std::vector<std::string> background;  // playing from before the tap
  bool excludeFirst = false;  // the tap leaves out the first background one
  bool excludeOwn = false;    // the tap leaves out our PID, as a parent's
  bool pwRecord = false;
  bool keep = false;  // keeps what the recorders wrote
};

struct Recorder {
  const char* name;
  Process p;
};

struct Recording {
  double rate = 0;
  std::vector<Recorder> recorders;  // the tap, parec, then pw-record
};

void sleepFor(double seconds, std::vector<Recorder>& recorders,
              bool armed = false, Clock::time_point marker = {}) {
  const Clock::time_point end =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(seconds));
  for (int turn = 0; Clock::now() < end; ++turn) {
    for (Recorder& r : recorders) {
      pump(r.p, armed, marker);
      if (turn % 50 == 0) notePeak(r.p);
    }
    usleep(2000);
  }
}

std::optional<Recording> record(const Setup& setup) {
  Recording out;
  out.recorders.reserve(3);  // pumped by reference
  std::vector<Process> players;
  // At a call's latency, as a browser asks for.
  for (const std::string& tone : setup.background)
    players.push_back(start({"paplay", "--latency-msec=50", tone}));
  if (!players.empty()) sleepFor(1, out.recorders);
  std::vector<std::string> tapArgv{setup.tapPath};
  if (setup.excludeFirst && !players.empty()) {
    tapArgv.insert(tapArgv.end(),
                   {"--exclude-pid", std::to_string(players[0].pid)});
  }
  if (setup.excludeOwn)
    tapArgv.insert(tapArgv.end(), {"--exclude-pid", std::to_string(getpid())});
  out.recorders.push_back({"nimbrel-tap", start(tapArgv)});
  Process& tap = out.recorders[0].p;
  tap.keep = setup.keep;
  // The rate the tap announces is the rate the others record at.
  for (auto deadline = Clock::now() + std::chrono::seconds(20);
       Clock::now() < deadline &&
       tap.errText.find("\"started\"") == std::string::npos;) {
    pump(tap, false, Clock::now());
    usleep(1000);
  }
  if (const size_t at = tap.errText.find("\"sampleRate\":");
      at != std::string::npos) {
    out.rate = std::atof(tap.errText.c_str() + at + 13);
  }
  const size_t named = tap.errText.find("\"outputDeviceUID\":\"");
  if (out.rate <= 0 || named == std::string::npos) {
    std::fprintf(stderr, "the tap did not start: %s\n", tap.errText.c_str());
    finish(tap, SIGKILL);
    for (Process& player : players) finish(player, SIGTERM);
    return std::nullopt;
  }
  std::string sink = tap.errText.substr(named + 19);
  sink = sink.substr(0, sink.find('"'));
  const std::string rate = std::to_string(int(out.rate));
  out.recorders.push_back(
      {"parec", start({"parec", "--raw", "--format=s16le", "--channels=1",
                       "--rate=" + rate, "--latency-msec=20", "-d",
                       sink + ".monitor"})});
  if (setup.pwRecord) {
    // A sink's node records what it plays when asked to capture the sink.
    out.recorders.push_back(
        {"pw-record",
         start({"pw-record", "--target", sink, "-P",
                "{ stream.capture.sink=true }", "--rate", rate, "--channels",
                "1", "--format", "s16", "--latency", "20ms", "-"})});
  }
  for (Recorder& r : out.recorders) r.p.keep = setup.keep;
  const Clock::time_point begin = Clock::now();
  sleepFor(1.5, out.recorders);
  // The marker: the tone's first sample, after silence on all.
  Process player;
  const Clock::time_point marker =
      Clock::now() + std::chrono::seconds(setup.lead ? 1 : 0);
  if (!setup.tone.empty()) player = start({"paplay", setup.tone});
  sleepFor(setup.seconds -
               std::chrono::duration<double>(Clock::now() - begin).count(),
           out.recorders, !setup.tone.empty(), marker);
  if (player.pid > 0) finish(player, SIGTERM);
  finish(tap, 0);
  for (size_t i = 1; i < out.recorders.size(); ++i)
    finish(out.recorders[i].p, SIGINT);
  for (Process& p : players) finish(p, SIGTERM);

  std::printf("recorded %.0f s of the sink \"%s\" at %.0f Hz, mono, s16le%s\n",
              setup.seconds, sink.c_str(), out.rate,
              setup.excludeFirst ? ", one player left out" : "");
  std::printf("%-12s %10s %12s %14s %12s\n", "", "CPU s", "peak RSS KiB",
              "bytes", "latency ms");
  for (const Recorder& r : out.recorders) {
    std::printf("%-12s %10.3f %12ld %14llu %12.1f\n", r.name,
                cpuSeconds(r.p.usage), r.p.peakKiB,
                static_cast<unsigned long long>(r.p.bytes),
                r.p.markerSeconds ? *r.p.markerSeconds * 1000 : -1.0);
  }
  return out;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? NAN : values[values.size() / 2];
}

std::string spread(const std::vector<double>& values) {
  char text[128];
  std::snprintf(text, sizeof text, "%.2fx (median of %zu; %.2f-%.2f)",
                median(values), values.size(),
                *std::min_element(values.begin(), values.end()),
                *std::max_element(values.begin(), values.end()));
  return text;
}

double ratio(double a, double b) { return b > 0 ? a / b : INFINITY; }

// Repeated runs, each the recorders side by side: the medians of the ratios,
// so that one disturbed run on a shared machine does not decide.
int bench(Setup setup, int runs) {
  const bool mixed = setup.excludeFirst;
  const size_t others = setup.pwRecord ? 2 : 1;
  std::vector<std::vector<double>> cpu(others), rss(others), latency(3);
  const char* names[] = {"nimbrel-tap", "parec", "pw-record"};
  for (int i = 0; i < runs; ++i) {
    const std::optional<Recording> run = record(setup);
    if (!run) return 1;
    const Process& tap = run->recorders[0].p;
    for (size_t k = 0; k < others; ++k) {
      const Process& other = run->recorders[k + 1].p;
      cpu[k].push_back(ratio(cpuSeconds(tap.usage), cpuSeconds(other.usage)));
      rss[k].push_back(ratio(double(tap.peakKiB), double(other.peakKiB)));
    }
    // A latency counts when every recorder saw the marker.
    if (std::all_of(run->recorders.begin(), run->recorders.end(),
                    [](const Recorder& r) { return r.p.markerSeconds; })) {
      for (size_t k = 0; k < run->recorders.size(); ++k)
        latency[k].push_back(*run->recorders[k].p.markerSeconds * 1000);
    }
  }
  const std::string own = setup.excludeOwn ? ", parent's PID left out" : "";
  if (!mixed) {
    for (size_t k = 0; k < others; ++k) {
      const std::string cpuFigure =
          std::string("live: tap CPU time vs ") + names[k + 1] + own;
      const std::string rssFigure =
          std::string("live: tap peak RSS vs ") + names[k + 1] + own;
      summary(cpuFigure.c_str(), spread(cpu[k]), "<= 1.3x",
              median(cpu[k]) <= 1.3);
      summary(rssFigure.c_str(), spread(rss[k]), "<= 1.3x",
              median(rss[k]) <= 1.3);
    }
  }
  const std::string figure =
      mixed ? std::string("live: latency, one player left out (mix), ") +
                  (setup.lead ? "a player already playing" : "a new player")
            : "live: playback-to-stdout latency" + own;
  if (latency[0].empty()) {
    summary(figure.c_str(), "marker not seen", "report", false);
    return 0;
  }
  char part[64];
  std::snprintf(part, sizeof part, "%.1f ms (", median(latency[0]));
  std::string text = part;
  for (size_t k = 1; k <= others; ++k) {
    std::snprintf(part, sizeof part, "%s%s %.1f ms", k > 1 ? ", " : "",
                  names[k], median(latency[k]));
    text += part;
  }
  if (!mixed) {
    summary(figure.c_str(), text + ")", "report", true);
    return 0;
  }
  std::vector<double> over;
  for (size_t i = 0; i < latency[0].size(); ++i)
    over.push_back(latency[0][i] - latency[1][i]);
  std::snprintf(part, sizeof part, "; %.1f ms over parec", median(over));
  summary(figure.c_str(), text + ")" + part, "<= parec + 40 ms",
          median(over) <= 40);
  return 0;
}

// PLAYERS tones at multiples of 50 Hz, so that every 20 ms window holds whole
// periods of each: the mix of n of amplitude A has an RMS of A*sqrt(n/2) in
// every window, whatever their phases. The first player is left out.
int mix(Setup setup, int players, const std::string& dir, int runs) {
  constexpr int kAmplitude = 1000;  // 16 of them cannot clip
  std::vector<double> frequencies;
  for (int i = 0; i < players; ++i) {
    frequencies.push_back(300 + 100 * i);
    setup.background.push_back(dir + "/player" + std::to_string(i) + ".wav");
    live::writeTone(setup.background.back(), frequencies.back(), kAmplitude,
                    int(setup.seconds) + 5);
  }
  setup.excludeFirst = setup.keep = true;
  std::vector<double> cpu, excluded, levels;
  size_t lost = 0, windows = 0;
  double lowest = INFINITY;
  for (int i = 0; i < runs; ++i) {
    const std::optional<Recording> run = record(setup);
    if (!run) return 1;
    const Process& tap = run->recorders[0].p;
    const Process& parec = run->recorders[1].p;
    cpu.push_back(ratio(cpuSeconds(tap.usage), cpuSeconds(parec.usage)));
    // The tap averages the channels to mono on both servers: the kept
    // players' mix has its own level, whatever parec hears.
    const size_t second = size_t(run->rate);
    const std::vector<int16_t> heard = live::samples(tap.data);
    if (heard.size() <= second) {
      std::fprintf(stderr, "too short: tap %zu samples\n", heard.size());
      return 1;
    }
    const std::vector<int16_t> steady(heard.begin() + std::ptrdiff_t(second),
                                      heard.end());
    const double expected = kAmplitude * std::sqrt((players - 1) / 2.0);
    for (double level : live::windowLevels(steady, size_t(run->rate * 0.02))) {
      ++windows;
      lowest = std::min(lowest, level / expected);
      levels.push_back(level / expected);
      if (level < expected / 2) ++lost;
    }
    // Kept for a look at the lost windows: the tap's and the sink's.
    std::ofstream(dir + "/tap" + std::to_string(i) + ".pcm", std::ios::binary)
        << tap.data;
    std::ofstream(dir + "/parec" + std::to_string(i) + ".pcm", std::ios::binary)
        << parec.data;
    excluded.push_back(live::toneAmplitude(steady, frequencies[0], run->rate) /
                       kAmplitude);
  }
  const std::string prefix =
      "live: " + std::to_string(players) + " players, 1 left out: ";
  summary((prefix + "tap CPU vs parec").c_str(), spread(cpu), "<= 2.5x",
          median(cpu) <= 2.5);
  char text[128];
  std::snprintf(text, sizeof text, "%zu of %zu (level %.0f%%, lowest %.0f%%)",
                lost, windows, median(levels) * 100, lowest * 100);
  summary((prefix + "lost 20 ms windows").c_str(), text, "0", lost == 0);
  const double worst = *std::max_element(excluded.begin(), excluded.end());
  std::snprintf(text, sizeof text, "%.2f%% of its level (worst of %d)",
                worst * 100, runs);
  summary((prefix + "left-out tone in the tap").c_str(), text, "<= 1 %",
          worst <= 0.01);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Lines as they come, through scripts/bench-live's pipe.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::vector<std::string> args(argv + 1, argv + argc);
  if ((args.size() == 5 || args.size() == 6) && args[0] == "tone") {
    live::writeTone(args[4], std::atof(args[1].c_str()),
                    std::atoi(args[3].c_str()), std::atoi(args[2].c_str()),
                    args.size() == 6 ? std::atoi(args[5].c_str()) : 0);
    return 0;
  }
  if (args.size() == 4 && args[0] == "wav") {
    const double rate = std::atof(args[1].c_str());
    std::ifstream in(args[2], std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    const std::vector<int16_t> pcm = live::samples(bytes);
    live::writeWav(args[3], pcm, uint32_t(rate));
    const std::vector<int16_t> middle(
        pcm.begin() + std::ptrdiff_t(pcm.size() / 4), pcm.end());
    const double frequency = live::dominantFrequency(middle, rate);
    const double level = live::toneAmplitude(middle, frequency, rate);
    std::printf(
        "%s: %zu samples (%.2f s at %.0f Hz); measured frequency %.0f Hz at "
        "%.1f dBFS\n",
        args[3].c_str(), pcm.size(), double(pcm.size()) / rate, rate, frequency,
        20 * std::log10(std::max(level, 1.0) / 32767));
    return 0;
  }
  if (args.size() >= 4 && args[0] == "bench") {
    Setup setup;
    setup.tapPath = args[1];
    setup.seconds = std::atof(args[2].c_str());
    setup.tone = args[3];
    int runs = 3;
    for (size_t i = 4; i < args.size(); ++i) {
      if (args[i] == "pw-record") {
        setup.pwRecord = true;
      } else if (args[i] == "lead") {
        setup.lead = true;
      } else if (args[i] == "own") {
        setup.excludeOwn = true;
      } else if (args[i] == "exclude" && i + 1 < args.size()) {
        setup.background.push_back(args[++i]);
        setup.excludeFirst = true;
      } else if (std::atoi(args[i].c_str()) > 0) {
        runs = std::atoi(args[i].c_str());
      } else {
        return usage();
      }
    }
    return bench(setup, runs);
  }
  if ((args.size() == 5 || args.size() == 6) && args[0] == "mix") {
    Setup setup;
    setup.tapPath = args[1];
    setup.seconds = std::atof(args[2].c_str());
    const int players = std::clamp(std::atoi(args[3].c_str()), 2, 32);
    const int runs =
        args.size() == 6 ? std::max(1, std::atoi(args[5].c_str())) : 3;
    return mix(setup, players, args[4], runs);
  }
  return usage();
}
