// Starting real programs on simulated worlds for the end-to-end tests.
#include "testing/e2e_harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>
#include <utility>

#include "support/json_line.h"

extern char** environ;

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

// A test writing to a child that has gone must see an error, not die.
const bool kSigpipeIgnored = [] {
  signal(SIGPIPE, SIG_IGN);
  return true;
}();

// pipe2 is Linux's; tests start one child at a time, so nothing can inherit
// the descriptors between the two calls.
bool closeOnExecPipe(int fds[2]) {
  if (pipe(fds) != 0) return false;
  fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  fcntl(fds[1], F_SETFD, FD_CLOEXEC);
  return true;
}

bool closeOnExecSocketPair(int fds[2]) {
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return false;
  fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  fcntl(fds[1], F_SETFD, FD_CLOEXEC);
  return true;
}

std::string temporaryFile(const char* stem) {
  const char* dir = std::getenv("TMPDIR");
  std::string path =
      std::string(dir && *dir ? dir : "/tmp") + "/" + stem + "-XXXXXX";
  const int fd = mkstemp(path.data());
  if (fd < 0) return {};
  close(fd);
  return path;
}

bool writeFile(const std::string& path, std::string_view text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  return bool(file);
}

int remainingMs(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<Duration>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// What waitpid's status word says.
ExitStatus exitStatusOf(int status) {
  ExitStatus result;
  result.signaled = WIFSIGNALED(status);
  result.code = WIFEXITED(status) ? WEXITSTATUS(status) : 0;
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return result;
}

}  // namespace

Child::Child(const std::string& path, LaunchOptions options) {
  (void)kSigpipeIgnored;
  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "NIMBREL_SIM_WORLD=", 18) != 0)
      environment.push_back(*e);
  }
  if (options.world) {
    auto world = nlohmann::json::parse(*options.world, nullptr, false);
    if (world.is_discarded() || !world.is_object()) {
      ADD_FAILURE() << "world is not a JSON object: " << *options.world;
      return;
    }
    if (world.contains("callLog") && world["callLog"].is_string()) {
      callLogPath_ = world["callLog"].get<std::string>();
    } else {
      callLogPath_ = temporaryFile("nimbrel-calls");
      ownsCallLog_ = true;
      world["callLog"] = callLogPath_;
    }
    worldPath_ = temporaryFile("nimbrel-world");
    if (worldPath_.empty() || !writeFile(worldPath_, world.dump())) {
      ADD_FAILURE() << "cannot write the world file";
      return;
    }
    environment.push_back("NIMBREL_SIM_WORLD=" + worldPath_);
  }

  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  const bool socket = options.stdinMode == Stdin::Socket ||
                      options.stdinMode == Stdin::SocketShutdown;
  stdinShutdownOnly_ = options.stdinMode == Stdin::SocketShutdown;
  if ((options.stdinMode == Stdin::Pipe && !closeOnExecPipe(in)) ||
      (socket && !closeOnExecSocketPair(in)) ||
      (options.stdoutMode != Output::NotOpen && !closeOnExecPipe(out)) ||
      (options.stderrMode != Output::NotOpen && !closeOnExecPipe(err))) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return;
  }
#ifdef F_SETPIPE_SZ
  if (options.stdoutPipeBytes > 0 && out[0] >= 0 &&
      fcntl(out[0], F_SETPIPE_SZ, options.stdoutPipeBytes) < 0) {
    ADD_FAILURE() << "F_SETPIPE_SZ: " << std::strerror(errno);
  }
#endif
  if (options.nonBlockingStdout && out[1] >= 0 &&
      fcntl(out[1], F_SETFL, O_NONBLOCK) < 0) {
    ADD_FAILURE() << "O_NONBLOCK: " << std::strerror(errno);
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  switch (options.stdinMode) {
    case Stdin::Pipe:
    case Stdin::Socket:
    case Stdin::SocketShutdown:
      posix_spawn_file_actions_adddup2(&actions, in[0], 0);
      break;
    case Stdin::DevNull:
      posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
      break;
    case Stdin::Fd:
      posix_spawn_file_actions_adddup2(&actions, options.stdinFd, 0);
      break;
  }
  const std::pair<Output, int*> outputs[] = {{options.stdoutMode, out},
                                             {options.stderrMode, err}};
  for (int fd = 1; fd <= 2; ++fd) {
    const auto& [mode, ends] = outputs[fd - 1];
    if (mode == Output::NotOpen) {
      posix_spawn_file_actions_addclose(&actions, fd);
      continue;
    }
    posix_spawn_file_actions_adddup2(&actions, ends[1], fd);
    // The child gets the writing end only; with the reader gone first, its
    // writes fail at once.
    if (mode == Output::ReaderClosed) {
      close(ends[0]);
      ends[0] = -1;
    }
  }

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t all, none;
  sigfillset(&all);
  // SIGPIPE is ignored in this process, and an ignored signal stays ignored
  // across exec unless reset here.
  if (options.ignoreSigpipe) sigdelset(&all, SIGPIPE);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<char*> argv{const_cast<char*>(path.c_str())};
  for (auto& arg : options.args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  const int spawned = posix_spawn(&pid_, path.c_str(), &actions, &attributes,
                                  argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  for (const int fd : {in[0], out[1], err[1]}) {
    if (fd >= 0) close(fd);
  }
  stdin_ = in[1];
  out_.fd = out[0];
  err_.fd = err[0];
  out_.ended = out_.fd < 0;
  err_.ended = err_.fd < 0;
  if (spawned != 0) {
    pid_ = -1;
    ADD_FAILURE() << "cannot start " << path << ": " << std::strerror(spawned);
  }
}

Child::~Child() {
  if (pid_ > 0 && !exit_) kill();
  for (const int fd : {stdin_, stdinShut_, out_.fd, err_.fd}) {
    if (fd >= 0) close(fd);
  }
  if (!worldPath_.empty()) unlink(worldPath_.c_str());
  if (ownsCallLog_) unlink(callLogPath_.c_str());
}

int Child::pump(Duration timeout) {
  pollfd fds[2];
  Pipe* pipes[2];
  nfds_t count = 0;
  for (Pipe* pipe : {&out_, &err_}) {
    if (pipe->fd >= 0 && !pipe->ended) {
      fds[count] = {pipe->fd, POLLIN, 0};
      pipes[count++] = pipe;
    }
  }
  if (count == 0) return -1;
  int ready;
  do {
    ready = poll(fds, count, static_cast<int>(timeout.count()));
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return 0;
  for (nfds_t k = 0; k < count; ++k) {
    if (fds[k].revents == 0) continue;
    char chunk[65536];
    const ssize_t n = read(fds[k].fd, chunk, sizeof chunk);
    if (n > 0) {
      pipes[k]->buffer.append(chunk, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      pipes[k]->ended = true;
    }
  }
  return 1;
}

std::optional<std::string> Child::readLine(Stream stream, Duration timeout) {
  Pipe& pipe = pipeOf(stream);
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const auto newline = pipe.buffer.find('\n');
    if (newline != std::string::npos) {
      std::string line = pipe.buffer.substr(0, newline);
      pipe.buffer.erase(0, newline + 1);
      return line;
    }
    if (pipe.ended || Clock::now() >= deadline) return std::nullopt;
    if (pump(Duration(remainingMs(deadline))) < 0) return std::nullopt;
  }
}

std::string Child::readBytes(Stream stream, size_t count, Duration timeout) {
  Pipe& pipe = pipeOf(stream);
  const auto deadline = Clock::now() + timeout;
  while (pipe.buffer.size() < count && !pipe.ended && Clock::now() < deadline) {
    if (pump(Duration(remainingMs(deadline))) < 0) break;
  }
  const size_t taken = std::min(count, pipe.buffer.size());
  std::string bytes = pipe.buffer.substr(0, taken);
  pipe.buffer.erase(0, taken);
  return bytes;
}

std::string Child::readToEnd(Stream stream, Duration timeout) {
  Pipe& pipe = pipeOf(stream);
  const auto deadline = Clock::now() + timeout;
  while (!pipe.ended && Clock::now() < deadline) {
    if (pump(Duration(remainingMs(deadline))) < 0) break;
  }
  return std::exchange(pipe.buffer, {});
}

std::string Child::readAvailable(Stream stream) {
  while (pump(Duration(0)) > 0) {
  }
  return std::exchange(pipeOf(stream).buffer, {});
}

bool Child::atEnd(Stream stream) {
  pump(Duration(0));
  const Pipe& pipe = pipeOf(stream);
  return pipe.ended && pipe.buffer.empty();
}

void Child::closeReader(Stream stream) {
  Pipe& pipe = pipeOf(stream);
  if (pipe.fd >= 0) close(pipe.fd);
  pipe.fd = -1;
  pipe.ended = true;
  pipe.buffer.clear();
}

bool Child::writeStdin(std::string_view bytes) {
  while (stdin_ >= 0 && !bytes.empty()) {
    const ssize_t n = write(stdin_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return stdin_ >= 0;
}

void Child::closeStdin() {
  if (stdin_ >= 0 && stdinShutdownOnly_) {
    shutdown(stdin_, SHUT_WR);
    stdinShut_ = stdin_;
  } else if (stdin_ >= 0) {
    close(stdin_);
  }
  stdin_ = -1;
}

void Child::sendSignal(int signo) {
  if (pid_ > 0 && !exit_) ::kill(pid_, signo);
}

std::optional<ExitStatus> Child::waitExit(Duration timeout) {
  if (exit_ || pid_ <= 0) return exit_;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t reaped = waitpid(pid_, &status, WNOHANG);
    if (reaped == pid_) {
      exit_ = exitStatusOf(status);
      return exit_;
    }
    if (reaped < 0 && errno != EINTR) return std::nullopt;
    if (Clock::now() >= deadline) return std::nullopt;
    // Keep the pipes moving so a child blocked on a full pipe can finish.
    if (pump(Duration(10)) < 0) std::this_thread::sleep_for(Duration(10));
  }
}

ExitStatus Child::kill() {
  if (pid_ <= 0) return {};
  if (exit_) return *exit_;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  exit_ = exitStatusOf(status);
  return *exit_;
}

std::vector<std::string> Child::callLog() const {
  if (callLogPath_.empty()) return {};
  return readLines(callLogPath_);
}

void expectExit(Child& child, int code) {
  const std::optional<ExitStatus> status = child.waitExit();
  ASSERT_TRUE(status) << "still running";
  EXPECT_FALSE(status->signaled) << "signal " << status->signal;
  EXPECT_EQ(status->code, code);
}

void expectDeathBy(Child& child, int signo) {
  const std::optional<ExitStatus> status = child.waitExit();
  ASSERT_TRUE(status) << "still running";
  EXPECT_TRUE(status->signaled) << "exit " << status->code;
  EXPECT_EQ(status->signal, signo);
}

std::vector<std::string> readLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream file(path, std::ios::binary);
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

std::string quoted(std::string_view text) {
  std::string out;
  support::appendJsonString(out, text);
  return out;
}

}  // namespace e2e
