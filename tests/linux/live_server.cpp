// A private headless audio server and its real clients, for the live tests.
#include "tests/linux/live_server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/linux/tone.h"

extern char** environ;

namespace live {
namespace {

using namespace std::chrono_literals;
constexpr int kToneSeconds = 40;

std::string makeFolder(const char* name) {
  std::string pattern =
      (std::filesystem::temp_directory_path() / name).string() + "-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr)
    ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
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

bool waitExit(pid_t pid, std::chrono::milliseconds patience,
              int* status = nullptr) {
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

bool pipewireAsked() {
  const char* kind = std::getenv("NIMBREL_LIVE_SERVER");
  return kind != nullptr && std::string_view(kind) == "pipewire";
}

}  // namespace

Server::Server(bool sinkRateFollowsPlayers)
    : folder_(makeFolder("nimbrel-live")), pipewire_(pipewireAsked()) {
  pointAt(folder_, folder_ + "/pulse/native");
  if (sinkRateFollowsPlayers) {
    // HOME is the folder: each server reads its own configuration there.
    const std::string config = folder_ + "/.config/pipewire/pipewire.conf.d";
    std::filesystem::create_directories(config);
    std::ofstream(config + "/rates.conf")
        << "context.properties = { default.clock.allowed-rates = "
           "[ 44100 48000 ] }\n";
    std::filesystem::create_directories(folder_ + "/.config/pulse");
    std::ofstream(folder_ + "/.config/pulse/daemon.conf")
        << "avoid-resampling = yes\nalternate-sample-rate = 44100\n";
  }
  start();
}

void Server::restart() {
  if (server_ > 0) kill();
  for (auto daemon = daemons_.rbegin(); daemon != daemons_.rend(); ++daemon)
    stop(*daemon);
  daemons_.clear();
  playbackStreams_ = recordStreams_ = 0;  // their clients went with it
  start();
}

bool Server::waitFor(const std::string& what,
                     const std::function<bool()>& ready) {
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!ready()) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << what << " did not come up; see the logs in " << folder_;
      return false;
    }
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

// The recipe of a headless PipeWire desktop: WirePlumber links nothing
// without a session bus, and the null devices are the service's modules.
void Server::startPipeWire() {
  std::filesystem::create_directories(folder_ + "/pulse");
  const std::string bus = folder_ + "/bus";
  setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + bus).c_str(), 1);
  daemons_.push_back(spawn({"dbus-daemon", "--session", "--nofork",
                            "--nopidfile", "--address=unix:path=" + bus},
                           folder_ + "/dbus.log"));
  if (!waitFor("dbus-daemon", [&] { return std::filesystem::exists(bus); }))
    return;
  daemons_.push_back(spawn({"pipewire"}, folder_ + "/pipewire.log"));
  if (!waitFor("pipewire", [&] {
        return std::filesystem::exists(folder_ + "/pipewire-0");
      }))
    return;
  daemons_.push_back(spawn({"wireplumber"}, folder_ + "/wireplumber.log"));
  server_ = spawn({"pipewire-pulse"}, folder_ + "/server.log");
  if (!waitFor("pipewire-pulse", [&] { return pactl({"info"}); })) return;
  for (const char* sink : {"speakers", "headset"}) {
    EXPECT_TRUE(pactl({"load-module", "module-null-sink",
                       std::string("sink_name=") + sink + " rate=48000"}));
  }
  EXPECT_TRUE(pactl({"load-module", "module-null-sink",
                     "sink_name=mic media.class=Audio/Source/Virtual "
                     "rate=48000"}));
  // The service may take the request only once the new sink is in its
  // graph, and WirePlumber settles the default a moment after it.
  waitFor("speakers as the default sink", [&] {
    return pactl({"set-default-sink", "speakers"});
  });
  waitFor("the default sink", [&] {
    return countLines({"get-default-sink"}) == 1 &&
           std::ifstream(folder_ + "/listing.txt").get() == 's';
  });
}

// Asked again until the server names it: a request taken may never apply.
bool Server::setDefaultSink(const std::string& sink) {
  return waitFor(sink + " as the default sink", [&] {
    std::string named;
    if (pactl({"set-default-sink", sink}) &&
        countLines({"get-default-sink"}) == 1)
      std::getline(std::ifstream(folder_ + "/listing.txt"), named);
    return named == sink;
  });
}

void Server::start() {
  if (pipewire_) return startPipeWire();
  server_ = spawn({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                   "--log-target=stderr", "-L", "module-native-protocol-unix",
                   "-L", "module-null-sink sink_name=speakers rate=48000", "-L",
                   "module-null-sink sink_name=headset rate=48000", "-L",
                   "module-null-source source_name=mic rate=48000"},
                  folder_ + "/server.log");
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!pactl({"info"})) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "the audio server did not come up; see " << folder_
                    << "/server.log";
      return;
    }
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_TRUE(pactl({"set-default-sink", "speakers"}));
}

Server::~Server() {
  for (pid_t client : clients_) stop(client);
  stop(server_);
  for (auto daemon = daemons_.rbegin(); daemon != daemons_.rend(); ++daemon)
    stop(*daemon);
  if (!::testing::Test::HasFailure()) std::filesystem::remove_all(folder_);
}

pid_t Server::spawn(const std::vector<std::string>& argv,
                    const std::string& output) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char*> args;
  for (const std::string& arg : argv)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int error =
      posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0)
    ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(error);
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

std::string Server::tone(double frequency, int amplitude) {
  const std::string path =
      folder_ + "/tone-" + std::to_string(int(frequency)) + ".wav";
  writeTone(path, frequency, amplitude, kToneSeconds);
  return path;
}

pid_t Server::play(double frequency, int amplitude,
                   const std::vector<std::string>& options, Client client) {
  std::vector<std::string> argv{client == Client::Pulse ? "paplay" : "pw-play"};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(tone(frequency, amplitude));
  return playWith(argv);
}

pid_t Server::playWith(const std::vector<std::string>& argv) {
  const pid_t pid = spawn(argv, folder_ + "/player.log");
  clients_.push_back(pid);
  EXPECT_TRUE(waitForStreams("sink-inputs", ++playbackStreams_)) << argv[0];
  return pid;
}

pid_t Server::recordMicrophone(Client client) {
  const pid_t pid =
      client == Client::Pulse
          ? spawn({"sh", "-c", "exec parec -d mic >/dev/null"},
                  folder_ + "/recorder.log")
          : spawn({"pw-record", "--target", "mic", folder_ + "/recorded.wav"},
                  folder_ + "/recorder.log");
  clients_.push_back(pid);
  EXPECT_TRUE(waitForStreams("source-outputs", ++recordStreams_))
      << (client == Client::Pulse ? "parec" : "pw-record");
  return pid;
}

pid_t Server::recordSpeakers(const std::string& path) {
  const pid_t pid =
      spawn({"sh", "-c",
             "exec parec -d speakers.monitor --rate=48000 --channels=1 "
             "--format=s16le --latency-msec=20 >'" +
                 path + "'"},
            folder_ + "/recorder.log");
  clients_.push_back(pid);
  EXPECT_TRUE(waitForStreams("source-outputs", ++recordStreams_)) << "parec";
  return pid;
}

bool Server::removeSink(const std::string& name) {
  if (countLines({"list", "short", "modules"}) < 0) return false;
  std::ifstream in(folder_ + "/listing.txt");
  for (std::string line; std::getline(in, line);) {
    if (line.find("sink_name=" + name + " ") != std::string::npos) {
      return pactl({"unload-module", line.substr(0, line.find('\t'))});
    }
  }
  return false;
}

bool Server::moveStream(pid_t player, const std::string& sink) {
  // On a loaded PipeWire a move can be lost (pactl says it is done, the
  // player stays where it was): it is asked again until the listing shows it.
  std::string target;
  if (countLines({"list", "sinks", "short"}) < 0) return false;
  std::ifstream sinks(folder_ + "/listing.txt");
  for (std::string line; std::getline(sinks, line);)
    if (line.find("\t" + sink + "\t") != std::string::npos)
      target = line.substr(0, line.find('\t'));
  const std::string pid =
      "application.process.id = \"" + std::to_string(player) + "\"";
  for (int turn = 0; turn < 100; ++turn) {
    if (countLines({"list", "sink-inputs"}) < 0) return false;
    std::ifstream in(folder_ + "/listing.txt");
    std::string line, index, on;
    while (std::getline(in, line) && line.find(pid) == std::string::npos) {
      if (line.rfind("Sink Input #", 0) == 0) index = line.substr(12);
      if (line.rfind("\tSink: ", 0) == 0) on = line.substr(7);
    }
    if (!in) return false;  // no such player
    if (on == target) return true;
    if (turn % 10 == 0 && !pactl({"move-sink-input", index, sink}))
      return false;
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

void Server::kill() {
  ::kill(server_, SIGKILL);
  waitExit(server_, 5s);
  server_ = -1;
}

void Server::freeze(bool frozen) {
  ::kill(server_, frozen ? SIGSTOP : SIGCONT);
}

pid_t onlyChildOf(pid_t parent) {
  const std::string children = "/proc/" + std::to_string(parent) + "/task/" +
                               std::to_string(parent) + "/children";
  for (int tries = 0; tries < 200; ++tries) {
    pid_t child = -1;
    if (std::ifstream(children) >> child) return child;
    std::this_thread::sleep_for(10ms);
  }
  return -1;
}

NoServer::NoServer() : folder_(makeFolder("nimbrel-noserver")) {
  pointAt(folder_, folder_ + "/pulse/native");
}

NoServer::~NoServer() { std::filesystem::remove_all(folder_); }

}  // namespace live
