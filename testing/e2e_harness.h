// Starts a real program on a simulated world, through real pipes, and hands
// back its output, call log and exit status: the end-to-end tests' one tool.
#ifndef NIMBREL_TESTING_E2E_HARNESS_H_
#define NIMBREL_TESTING_E2E_HARNESS_H_

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace e2e {

using Duration = std::chrono::milliseconds;

/// Long enough for anything that normally takes 100 ms on a loaded machine.
constexpr Duration kPatience{20000};

enum class Stdin {
  Pipe,     // a pipe the test writes to and closes (writeStdin, closeStdin)
  DevNull,  // /dev/null: end of file at once, but not a pipe
  Fd,       // `stdinFd` from LaunchOptions, duplicated onto descriptor 0
  Socket,   // a stream socketpair, as Node's spawn gives; closeStdin closes
  SocketShutdown,  // the same, but closeStdin only shuts down writing
};

enum class Stream { Stdout, Stderr };

/// What the child's standard output or standard error is.
enum class Output {
  Pipe,          // a pipe the test reads
  ReaderClosed,  // a pipe nobody reads any more: writes get EPIPE or SIGPIPE
  NotOpen,       // the descriptor is not open in the child
};

struct LaunchOptions {
  std::vector<std::string> args = {};  // without the program name
  /// The simulated world as JSON text, written to a temporary file named by
  /// NIMBREL_SIM_WORLD in the child's environment only. A "callLog" key is
  /// added (unless present) so that callLog() can read it afterwards.
  /// Absent: the variable is removed and the child runs on the default
  /// machine.
  std::optional<std::string> world = std::nullopt;
  Stdin stdinMode = Stdin::Pipe;
  int stdinFd = -1;  // with Stdin::Fd; the caller keeps ownership
  Output stdoutMode = Output::Pipe;
  Output stderrMode = Output::Pipe;
  /// The child starts with SIGPIPE ignored instead of at its default, as
  /// under a parent that ignores it.
  bool ignoreSigpipe = false;
  /// The capacity of the stdout pipe when above 0 (F_SETPIPE_SZ; at most
  /// /proc/sys/fs/pipe-max-size): more room for a reader that must never
  /// fall behind. Ignored where pipes cannot be sized (macOS: 16 KiB,
  /// growing to 64 KiB), so a test must not rely on the exact figure.
  int stdoutPipeBytes = 0;
  /// The stdout pipe is non-blocking (O_NONBLOCK on the child's end), as a
  /// parent's event loop may leave it.
  bool nonBlockingStdout = false;
};

struct ExitStatus {
  bool signaled = false;  // ended by a signal rather than exit()
  int code = 0;           // exit status when !signaled
  int signal = 0;         // terminating signal when signaled
};

/// One running child. Reads go through the test's own buffers with poll(),
/// on demand: while a test reads one stream the other is drained too, so the
/// child never blocks on a full pipe that way; a stream nobody reads fills up
/// and blocks the child, as with a real parent that stops reading.
/// The destructor kills (SIGKILL) and reaps a child that is still running
/// and removes the temporary files.
class Child {
 public:
  /// Starts `path` (NIMBREL_PROBE_PATH, NIMBREL_TAP_PATH). Children get the
  /// default disposition of every signal (but SIGPIPE with `ignoreSigpipe`)
  /// and an empty signal mask. Fails the
  /// current test (and returns a child with pid() == -1) if it cannot start.
  Child(const std::string& path, LaunchOptions options);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }

  /// The next complete line of `stream`, without its "\n"; absent when the
  /// stream ends or `timeout` passes first (a partial line stays buffered).
  std::optional<std::string> readLine(Stream stream = Stream::Stdout,
                                      Duration timeout = kPatience);
  /// Up to `count` bytes; fewer only when the stream ends or time runs out.
  std::string readBytes(Stream stream, size_t count,
                        Duration timeout = kPatience);
  /// Everything until the stream's end (all writers closed it), or what
  /// came before `timeout`.
  std::string readToEnd(Stream stream, Duration timeout = kPatience);
  /// Whatever has arrived so far, without waiting.
  std::string readAvailable(Stream stream);
  /// True once the stream is at its end and its buffer is empty.
  bool atEnd(Stream stream);
  /// Closes the test's reading end of `stream`, as a parent that stops
  /// listening; what was buffered is dropped.
  void closeReader(Stream stream);

  /// Writes to the stdin pipe or socket; false if it is closed or the child
  /// is gone.
  bool writeStdin(std::string_view bytes);
  /// Ends standard input: closes it, or shuts down writing on it
  /// (Stdin::SocketShutdown).
  void closeStdin();

  void sendSignal(int signo);
  /// The exit status, once the child ended within `timeout`.
  std::optional<ExitStatus> waitExit(Duration timeout = kPatience);
  /// Kills and reaps the child (no-op once reaped).
  ExitStatus kill();

  /// The lines of the world's call log so far (empty without a world).
  std::vector<std::string> callLog() const;

 private:
  struct Pipe {
    int fd = -1;
    std::string buffer;
    bool ended = false;
  };
  Pipe& pipeOf(Stream stream) { return stream == Stream::Stdout ? out_ : err_; }
  // Reads what is available from both streams, waiting up to `timeout` for
  // something to arrive on either: 1 if something arrived or ended, 0 if
  // nothing did in time, -1 if nothing can arrive any more.
  int pump(Duration timeout);

  pid_t pid_ = -1;
  int stdin_ = -1;
  bool stdinShutdownOnly_ = false;
  int stdinShut_ = -1;  // a socket shut down for writing, kept open
  Pipe out_, err_;
  std::optional<ExitStatus> exit_;
  std::string worldPath_, callLogPath_;
  bool ownsCallLog_ = false;
};

/// Waits for the child to end and expects exit() with `code` (fails the
/// current test otherwise).
void expectExit(Child& child, int code);
/// Waits for the child to end and expects signal `signo` to have ended it.
void expectDeathBy(Child& child, int signo);

/// Lines of a text file, without their "\n" (empty if it is missing).
std::vector<std::string> readLines(const std::string& path);

/// `text` as a quoted JSON string, for building
/// worlds from names with quotes, slashes or non-ASCII.
std::string quoted(std::string_view text);

}  // namespace e2e

#endif  // NIMBREL_TESTING_E2E_HARNESS_H_
