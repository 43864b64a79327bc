// A private headless audio server and its real clients, for the live tests.
#include "tests/linux/live_server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <numbers>
#include <thread>

extern char** environ;

namespace live {
namespace {

using namespace std::chrono_literals;
constexpr int kRate = 48000;
constexpr int kToneSeconds = 40;

std::string makeFolder(const char* name) {
  std::string pattern = (std::filesystem::temp_directory_path() / name).string() + "-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
  return pattern;
}

void pointAt(const std::string& folder, const std::string& socket) {
  setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
  setenv("HOME", folder.c_str(), 1);
  setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
  // No session bus and no display: nothing else to find a server through.
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  unsetenv("DISPLAY");
}

bool waitExit(pid_t pid, std::chrono::milliseconds patience, int* status = nullptr) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  int s = 0;
  while (waitpid(pid, &s, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  if (status) *status = s;
  return true;
}

void stop(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  if (!waitExit(pid, 5s)) {
    ::kill(pid, SIGKILL);
    waitExit(pid, 5s);
  }
}

// A stereo 16-bit WAV of a whole number of periods per second.
void writeTone(const std::string& path, double frequency, int amplitude) {
  std::ofstream out(path, std::ios::binary);
  auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  const uint32_t frames = kRate * kToneSeconds;
  out.write("RIFF", 4);
  u32(36 + frames * 4);
  out.write("WAVEfmt ", 8);
  u32(16), u16(1), u16(2), u32(kRate), u32(kRate * 4), u16(4), u16(16);
  out.write("data", 4);
  u32(frames * 4);
  std::vector<int16_t> second(kRate * 2);
  for (int i = 0; i < kRate; ++i) {
    const double phase = 2 * std::numbers::pi * frequency * i / kRate;
    second[2 * i] = second[2 * i + 1] = int16_t(std::lround(amplitude * std::sin(phase)));
  }
  for (int s = 0; s < kToneSeconds; ++s) {
    out.write(reinterpret_cast<const char*>(second.data()), std::streamsize(second.size() * 2));
  }
}

}  // namespace

Server::Server() : folder_(makeFolder("nimbrel-live")) {
  pointAt(folder_, folder_ + "/pulse/native");
  server_ = spawn({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                   "--log-target=stderr", "-L", "module-native-protocol-unix",
                   "-L", "module-null-sink sink_name=speakers rate=48000",
                   "-L", "module-null-sink sink_name=headset rate=48000",
                   "-L", "module-null-source source_name=mic rate=48000"},
                  folder_ + "/server.log");
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!pactl({"info"})) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "the audio server did not come up; see " << folder_ << "/server.log";
      return;
    }
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_TRUE(pactl({"set-default-sink", "speakers"}));
}

Server::~Server() {
  for (pid_t client : clients_) stop(client);
  stop(server_);
  if (!::testing::Test::HasFailure()) std::filesystem::remove_all(folder_);
}

pid_t Server::spawn(const std::vector<std::string>& argv, const std::string& output) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int error = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(error);
  return error == 0 ? pid : -1;
}

bool Server::pactl(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"pactl"};
  argv.insert(argv.end(), args.begin(), args.end());
  const pid_t pid = spawn(argv, folder_ + "/pactl.log");
  int status = 0;
  if (pid < 0 || !waitExit(pid, 10s, &status)) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int Server::countLines(const std::vector<std::string>& pactlArgs) {
  const std::string listing = folder_ + "/listing.txt";
  std::filesystem::remove(listing);
  std::vector<std::string> argv{"pactl"};
  argv.insert(argv.end(), pactlArgs.begin(), pactlArgs.end());
  int status = 0;
  const pid_t pid = spawn(argv, listing);
  if (pid < 0 || !waitExit(pid, 10s, &status)) return -1;
  std::ifstream in(listing);
  int lines = 0;
  for (std::string line; std::getline(in, line);) ++lines;
  return lines;
}

bool Server::waitForStreams(const char* kind, int count) {
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (countLines({"list", "short", kind}) < count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

pid_t Server::play(double frequency, int amplitude) {
  const std::string path = folder_ + "/tone-" + std::to_string(int(frequency)) + ".wav";
  writeTone(path, frequency, amplitude);
  const pid_t pid = spawn({"paplay", path}, folder_ + "/paplay.log");
  clients_.push_back(pid);
  EXPECT_TRUE(waitForStreams("sink-inputs", ++playbackStreams_)) << "paplay " << path;
  return pid;
}

pid_t Server::recordMicrophone() {
  const pid_t pid = spawn({"sh", "-c", "exec parec -d mic >/dev/null"}, folder_ + "/parec.log");
  clients_.push_back(pid);
  EXPECT_TRUE(waitForStreams("source-outputs", ++recordStreams_)) << "parec";
  return pid;
}

void Server::kill() {
  ::kill(server_, SIGKILL);
  waitExit(server_, 5s);
  server_ = -1;
}

NoServer::NoServer() : folder_(makeFolder("nimbrel-noserver")) {
  pointAt(folder_, folder_ + "/pulse/native");
}

NoServer::~NoServer() { std::filesystem::remove_all(folder_); }

std::vector<int16_t> samples(std::string_view pcm) {
  std::vector<int16_t> out(pcm.size() / 2);
  std::memcpy(out.data(), pcm.data(), out.size() * 2);
  return out;
}

double toneAmplitude(const std::vector<int16_t>& pcm, double frequency, double rate) {
  // Whole periods only, so other tones and the tone itself do not leak.
  const auto period = size_t(std::lround(rate / std::gcd(int(rate), int(frequency))));
  const size_t n = period > 0 ? pcm.size() / period * period : 0;
  if (n == 0) return 0;
  double s = 0, c = 0;
  for (size_t i = 0; i < n; ++i) {
    const double phase = 2 * std::numbers::pi * frequency * double(i) / rate;
    s += pcm[i] * std::sin(phase);
    c += pcm[i] * std::cos(phase);
  }
  return 2 * std::hypot(s, c) / double(n);
}

double dominantFrequency(const std::vector<int16_t>& pcm, double rate) {
  const std::vector<int16_t> second(pcm.begin(),
                                    pcm.begin() + std::min(pcm.size(), size_t(rate)));
  auto level = [&](double f) {
    double s = 0, c = 0;
    for (size_t i = 0; i < second.size(); ++i) {
      const double phase = 2 * std::numbers::pi * f * double(i) / rate;
      s += second[i] * std::sin(phase);
      c += second[i] * std::cos(phase);
    }
    return std::hypot(s, c);
  };
  double best = 0, bestLevel = -1;
  for (double f = 50; f <= 5000; f += 10) {
    if (double l = level(f); l > bestLevel) best = f, bestLevel = l;
  }
  const double coarse = best;
  for (double f = coarse - 10; f <= coarse + 10; f += 1) {
    if (double l = level(f); l > bestLevel) best = f, bestLevel = l;
  }
  return best;
}

}  // namespace live
