// Helpers of scripts/run and scripts/bench on a live audio server:
//   live_tool tone FREQ SECONDS AMPLITUDE OUT.wav   a stereo test tone
//   live_tool wav RATE IN.pcm OUT.wav                s16le mono to WAV,
//   measured live_tool bench TAP SECONDS TONE.wav             the tap beside
//   parec
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
               "usage: live_tool tone FREQ SECONDS AMPLITUDE OUT.wav\n"
               "       live_tool wav RATE IN.pcm OUT.wav\n"
               "       live_tool bench TAP SECONDS TONE.wav [RUNS]\n");
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

void finish(Process& p, int signo) {
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

// One side-by-side recording's figures.
struct Run {
  double cpuRatio = 0, rssRatio = 0;
  std::optional<double> tapLatency, parecLatency;  // seconds
};

std::optional<Run> measure(const std::string& tapPath, double seconds,
                           const std::string& tone) {
  Process tap = start({tapPath});
  // The rate the tap announces is the rate parec records at.
  double rate = 0;
  for (auto deadline = Clock::now() + std::chrono::seconds(20);
       Clock::now() < deadline &&
       tap.errText.find("\"started\"") == std::string::npos;) {
    pump(tap, false, Clock::now());
  }
  if (const size_t at = tap.errText.find("\"sampleRate\":");
      at != std::string::npos) {
    rate = std::atof(tap.errText.c_str() + at + 13);
  }
  if (rate <= 0) {
    std::fprintf(stderr, "the tap did not start: %s\n", tap.errText.c_str());
    return std::nullopt;
  }
  const std::string sink =
      tap.errText.substr(tap.errText.find("\"outputDeviceUID\":\"") + 19);
  Process parec =
      start({"parec", "--raw", "--format=s16le", "--channels=1",
             "--rate=" + std::to_string(int(rate)), "--latency-msec=20", "-d",
             sink.substr(0, sink.find('"')) + ".monitor"});
  const Clock::time_point begin = Clock::now();
  while (Clock::now() - begin < std::chrono::milliseconds(1500)) {
    pump(tap, false, begin), pump(parec, false, begin);
    usleep(2000);
  }
  // The marker: the tone's first sample, after silence on both.
  Process player = start({"paplay", tone});
  const Clock::time_point marker = Clock::now();
  while (Clock::now() - begin < std::chrono::duration<double>(seconds)) {
    pump(tap, true, marker), pump(parec, true, marker);
    usleep(2000);
  }
  finish(player, SIGTERM);
  finish(tap, 0);
  finish(parec, SIGINT);

  const double cpuTap = cpuSeconds(tap.usage),
               cpuParec = cpuSeconds(parec.usage);
  const double rssTap = double(tap.usage.ru_maxrss),
               rssParec = double(parec.usage.ru_maxrss);
  std::printf("recorded %.0f s of the sink \"%s\" at %.0f Hz, mono, s16le\n",
              seconds, sink.substr(0, sink.find('"')).c_str(), rate);
  std::printf("%-12s %10s %12s %14s %12s\n", "", "CPU s", "peak RSS KiB",
              "bytes", "latency ms");
  for (auto [name, p] : {std::pair<const char*, Process*>{"nimbrel-tap", &tap},
                         {"parec", &parec}}) {
    std::printf("%-12s %10.3f %12.0f %14llu %12.1f\n", name,
                cpuSeconds(p->usage), double(p->usage.ru_maxrss),
                static_cast<unsigned long long>(p->bytes),
                p->markerSeconds ? *p->markerSeconds * 1000 : -1.0);
  }
  return Run{cpuParec > 0 ? cpuTap / cpuParec : INFINITY, rssTap / rssParec,
             tap.markerSeconds, parec.markerSeconds};
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? NAN : values[values.size() / 2];
}

// Repeated runs, each the two programs side by side: the medians of the
// ratios, so that one disturbed run on a shared machine does not decide.
int bench(const std::string& tapPath, double seconds, const std::string& tone,
          int runs) {
  std::vector<double> cpu, rss, tapLatency, parecLatency;
  for (int i = 0; i < runs; ++i) {
    const std::optional<Run> run = measure(tapPath, seconds, tone);
    if (!run) return 1;
    cpu.push_back(run->cpuRatio);
    rss.push_back(run->rssRatio);
    if (run->tapLatency && run->parecLatency) {
      tapLatency.push_back(*run->tapLatency * 1000);
      parecLatency.push_back(*run->parecLatency * 1000);
    }
  }
  char text[128];
  std::snprintf(text, sizeof text, "%.2fx (median of %d; %.2f-%.2f)",
                median(cpu), runs, *std::min_element(cpu.begin(), cpu.end()),
                *std::max_element(cpu.begin(), cpu.end()));
  summary("live: tap CPU time vs parec", text, "<= 1.5x", median(cpu) <= 1.5);
  std::snprintf(text, sizeof text, "%.2fx (median of %d; %.2f-%.2f)",
                median(rss), runs, *std::min_element(rss.begin(), rss.end()),
                *std::max_element(rss.begin(), rss.end()));
  summary("live: tap peak RSS vs parec", text, "<= 1.5x", median(rss) <= 1.5);
  if (tapLatency.empty()) {
    summary("live: playback-to-stdout latency", "marker not seen", "report",
            false);
  } else {
    std::snprintf(text, sizeof text, "%.1f ms (parec %.1f ms)",
                  median(tapLatency), median(parecLatency));
    summary("live: playback-to-stdout latency", text, "report", true);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 5 && args[0] == "tone") {
    live::writeTone(args[4], std::atof(args[1].c_str()),
                    std::atoi(args[3].c_str()), std::atoi(args[2].c_str()));
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
  if ((args.size() == 4 || args.size() == 5) && args[0] == "bench") {
    const int runs =
        args.size() == 5 ? std::max(1, std::atoi(args[4].c_str())) : 3;
    return bench(args[1], std::atof(args[2].c_str()), args[3], runs);
  }
  return usage();
}
