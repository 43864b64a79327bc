// A private, headless audio server for one test: its own runtime folder, two
// null sinks ("speakers", the default, and "headset") and a null source
// ("mic"); and real clients on it (paplay, parec, pactl, and pw-play and
// pw-record on PipeWire). NIMBREL_LIVE_SERVER=pipewire makes it PipeWire with
// WirePlumber and its PulseAudio service on a private session bus; otherwise
// it is PulseAudio without D-Bus.
#ifndef NIMBREL_TESTS_LINUX_LIVE_SERVER_H_
#define NIMBREL_TESTS_LINUX_LIVE_SERVER_H_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace live {

/// Which kind of client plays or records: libpulse's tools, or PipeWire's
/// own (only on PipeWire).
enum class Client { Pulse, PipeWire };

class Server {
 public:
  /// Starts the server and points this process's environment (and so every
  /// child's) at it. Fails the current test if it does not come up. With
  /// `sinkRateFollowsPlayers`, an idle or suspended sink takes the rate of a
  /// player at 44.1 kHz instead of resampling it.
  explicit Server(bool sinkRateFollowsPlayers = false);
  /// Stops the clients and the server, and removes the runtime folder.
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  /// A WAV file of a tone (stereo s16 at 48 kHz, `amplitude` of 32767, long
  /// enough for any test) in the server's folder.
  std::string tone(double frequency, int amplitude);
  /// A paplay of a tone (stereo s16 WAV at 48 kHz, `amplitude` of 32767,
  /// long enough for any test), with paplay's `options`; its PID once its
  /// stream is on the server.
  pid_t play(double frequency, int amplitude,
             const std::vector<std::string>& options = {},
             Client client = Client::Pulse);
  /// A player program of the tests' own with its arguments; its PID once its
  /// stream is on the server.
  pid_t playWith(const std::vector<std::string>& argv);
  /// A parec recording the null source, as a microphone user; its PID once
  /// its stream is on the server.
  pid_t recordMicrophone(Client client = Client::Pulse);
  /// A parec recording the speakers' monitor to `path` (mono s16le at
  /// 48 kHz), as a control; its PID once its stream is on the server.
  pid_t recordSpeakers(const std::string& path);
  /// Runs pactl with `args`; true when it exits with 0.
  bool pactl(const std::vector<std::string>& args);
  /// Makes `sink` the default; true once the server names it so.
  bool setDefaultSink(const std::string& sink);
  /// Moves the playback stream of `player` to `sink` (pactl
  /// move-sink-input), as a user picking another output would; true once
  /// the server lists it there.
  bool moveStream(pid_t player, const std::string& sink);
  /// Unloads the null sink `name`, as unplugging a device would.
  bool removeSink(const std::string& name);
  /// Kills the server that libpulse clients talk to outright (SIGKILL), as a
  /// crash would: PulseAudio, or PipeWire's PulseAudio service.
  void kill();
  /// Kills it if it runs, and starts it again as it was at first.
  void restart();
  /// Stops (SIGSTOP) or continues (SIGCONT) that server: stopped, it still
  /// accepts connections but never answers, as a frozen one would.
  void freeze(bool frozen);

  const std::string& folder() const { return folder_; }
  bool pipewire() const { return pipewire_; }

 private:
  void start();
  void startPipeWire();
  bool waitFor(const std::string& what, const std::function<bool()>& ready);
  pid_t spawn(const std::vector<std::string>& argv, const std::string& output);
  int countLines(const std::vector<std::string>& pactlArgs);
  bool waitForStreams(const char* kind, int count);

  std::string folder_;
  bool pipewire_;
  pid_t server_ = -1;
  std::vector<pid_t> daemons_;  // PipeWire's others, started in this order
  std::vector<pid_t> clients_;
  int playbackStreams_ = 0;
  int recordStreams_ = 0;
};

/// The one child process of `parent`, once it has one (-1 if none comes).
pid_t onlyChildOf(pid_t parent);

/// Points this process's environment at a server socket that does not
/// exist, in a fresh folder removed at destruction.
class NoServer {
 public:
  NoServer();
  ~NoServer();

 private:
  std::string folder_;
};

}  // namespace live

#endif  // NIMBREL_TESTS_LINUX_LIVE_SERVER_H_
