// The event machinery on POSIX threads: serial queues with a thread each, a
// concurrent global queue, the main queue served by runMainLoop, signals
// through a self-pipe, read-readiness watchers on poll(), and plain threads.
// Every thread it starts blocks SIGINT and SIGTERM.
#include "audio/dispatch.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "audio/posix/platform.h"
#include "audio/posix/queues.h"
#include "audio/posix/signals.h"

namespace audio {
namespace {

// Linux names any thread and keeps 15 bytes; Apple names only the caller.
void nameThisThread(const std::string& label) {
#if defined(__APPLE__)
  pthread_setname_np(label.substr(0, 63).c_str());
#else
  pthread_setname_np(pthread_self(), label.substr(0, 15).c_str());
#endif
}

}  // namespace

// Tasks run in arrival order on up to `maxWorkers` threads, started as work
// comes; the main queue has none and is served by the thread that asks.
class DispatchQueue {
 public:
  DispatchQueue(std::string label, int maxWorkers)
      : label_(std::move(label)), maxWorkers_(maxWorkers) {}

  void push(Task task) {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
    if (int(tasks_.size()) > idle_ && workers_ < maxWorkers_) {
      // Called inside platform callbacks too: a thread the system refuses
      // leaves the task queued for a worker that exists or the next push,
      // never an exception.
      try {
        posix::SignalsKeptFromNewThreads quiet;
        std::thread([this] { work(); }).detach();
        ++workers_;
        return;
      } catch (const std::system_error&) {
      }
    }
    ready_.notify_one();
  }

  // Main queue: runs one task, waiting for it until `deadline` (absent:
  // for ever, or not at all when `wait` is false); false when none came or
  // a stop was asked for.
  bool serveOne(std::optional<std::chrono::steady_clock::time_point> deadline,
                bool wait, bool honourStop) {
    Task task;
    {
      std::unique_lock lock(mutex_);
      auto ready = [&] { return !tasks_.empty() || (honourStop && stop_); };
      if (!wait) {
        if (!ready()) return false;
      } else if (deadline) {
        if (!ready_.wait_until(lock, *deadline, ready)) return false;
      } else {
        ready_.wait(lock, ready);
      }
      if (honourStop && stop_) {
        stop_ = false;
        return false;
      }
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
    return true;
  }

  void requestStop() {
    std::lock_guard lock(mutex_);
    stop_ = true;
    ready_.notify_all();
  }

  // A serial queue's turn, taken on the calling thread.
  void runInline(void (*function)(void*), void* context) {
    std::unique_lock lock(mutex_);
    turnFree_.wait(lock, [&] { return !busy_; });
    busy_ = true;
    lock.unlock();
    function(context);
    lock.lock();
    busy_ = false;
    turnFree_.notify_all();
    ready_.notify_all();
  }

 private:
  void work() {
    nameThisThread(label_);
    const bool serial = maxWorkers_ == 1;
    std::unique_lock lock(mutex_);
    for (;;) {
      ++idle_;
      ready_.wait(lock, [&] { return !tasks_.empty() && !(serial && busy_); });
      --idle_;
      Task task = std::move(tasks_.front());
      tasks_.pop_front();
      if (serial) busy_ = true;
      lock.unlock();
      task();
      task = nullptr;
      lock.lock();
      if (serial) {
        busy_ = false;
        turnFree_.notify_all();
      }
    }
  }

  const std::string label_;
  const int maxWorkers_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable turnFree_;
  std::deque<Task> tasks_;
  int workers_ = 0;
  int idle_ = 0;
  bool busy_ = false;  // a serial queue's task, or an inline turn, is running
  bool stop_ = false;
};

namespace {

constexpr int kGlobalWorkers = 64;

// Signals arrive on a self-pipe: the handler only writes the signal number,
// a relay thread turns it into tasks on the main queue.
struct SignalRelay {
  int readEnd = -1;
  std::mutex mutex;
  std::vector<Task> handlers[NSIG];
};

std::atomic<int> signalPipe{-1};

void onSignal(int signo) {
  const int saved = errno;
  const auto byte = static_cast<unsigned char>(signo);
  if (write(signalPipe.load(std::memory_order_relaxed), &byte, 1) < 0) {
    // The pipe is full: the arrival merges with those already queued.
  }
  errno = saved;
}

void relaySignals(SignalRelay* relay) {
  for (;;) {
    unsigned char byte;
    const ssize_t n = read(relay->readEnd, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    std::vector<Task> handlers;
    {
      std::lock_guard lock(relay->mutex);
      handlers = relay->handlers[byte];
    }
    for (Task& handler : handlers)
      dispatchAsync(mainQueue(), std::move(handler));
  }
}

SignalRelay& signalRelay() {
  static SignalRelay* const relay = [] {
    auto* relay = new SignalRelay;
    int fds[2];
    // pipe2 is not on macOS; no other thread starts programs this early.
    if (pipe(fds) != 0) {
      std::perror("nimbrel: pipe");
      std::abort();
    }
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    relay->readEnd = fds[0];
    signalPipe.store(fds[1]);
    posix::SignalsKeptFromNewThreads quiet;
    std::thread(relaySignals, relay).detach();
    return relay;
  }();
  return *relay;
}

// Takes SIGINT and SIGTERM once no thread leaves them unblocked. It starts
// with the first of the two to be watched: the other, should it come before
// it is watched too, gets its own action (the default ends the process)
// rather than vanish, which would leave a tap that no SIGTERM stops.
void waitForStopSignals() {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  for (;;) {
    int signo = 0;
    if (sigwait(&stops, &signo) != 0) continue;
    bool watched = false;
    {
      SignalRelay& relay = signalRelay();
      std::lock_guard lock(relay.mutex);
      watched = !relay.handlers[signo].empty();
    }
    if (watched) {
      onSignal(signo);
      continue;
    }
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signo);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    raise(signo);  // a handler installed meanwhile relays it
    pthread_sigmask(SIG_BLOCK, &one, nullptr);
  }
}

// Runs `handler` on `queue` and waits until it has finished, so that it
// never runs twice at once.
void runAndWait(DispatchQueue* queue, const Task& handler) {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  dispatchAsync(queue, [&] {
    handler();
    std::lock_guard lock(mutex);
    done = true;
    finished.notify_all();
  });
  std::unique_lock lock(mutex);
  finished.wait(lock, [&] { return done; });
}

void watchFD(int fd, DispatchQueue* queue, Task handler) {
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const int n = poll(&p, 1, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return;
    runAndWait(queue, handler);
    if (p.revents & POLLNVAL) return;  // not open: ready for ever, told once
  }
}

}  // namespace

DispatchQueue* mainQueue() {
  static DispatchQueue* const queue = new DispatchQueue("main", 0);
  return queue;
}

DispatchQueue* globalQueue() {
  posix::preparePlatform();
  static DispatchQueue* const queue =
      new DispatchQueue("global", kGlobalWorkers);
  return queue;
}

DispatchQueue* createSerialQueue(const char* label) {
  posix::preparePlatform();
  // Queues live for the process; the list keeps them reachable.
  static std::mutex mutex;
  static auto* const queues = new std::vector<DispatchQueue*>;
  auto* queue = new DispatchQueue(label ? label : "", 1);
  std::lock_guard lock(mutex);
  queues->push_back(queue);
  return queue;
}

void dispatchAsync(DispatchQueue* queue, Task task) {
  queue->push(std::move(task));
}

void runMainLoop() {
  posix::beforeMainLoop();
  while (mainQueue()->serveOne(std::nullopt, true, true)) {
  }
}

// Linux does not report a signal whose action is "ignore", as the platform's
// signal sources do, so the watcher takes the signal over with a handler of
// its own; whatever action was set before is replaced. SIGINT and SIGTERM,
// which every platform thread blocks, are also blocked in the watching
// thread and taken by sigwait: a process-directed one then never waits on a
// handler that ThreadSanitizer may hold back for good.
void watchSignal(int signo, Task handler) {
  posix::preparePlatform();
  if (signo <= 0 || signo >= NSIG) return;
  SignalRelay& relay = signalRelay();
  {
    std::lock_guard lock(relay.mutex);
    relay.handlers[signo].push_back(std::move(handler));
  }
  struct sigaction action {};
  action.sa_handler = onSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(signo, &action, nullptr);
  if (signo == SIGINT || signo == SIGTERM) {
    static const bool waiting = [] {
      posix::SignalsKeptFromNewThreads quiet;
      std::thread(waitForStopSignals).detach();
      return true;
    }();
    (void)waiting;
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signo);
    pthread_sigmask(SIG_BLOCK, &one, nullptr);
  }
}

void watchReadable(int fd, DispatchQueue* queue, Task handler) {
  posix::preparePlatform();
  posix::SignalsKeptFromNewThreads quiet;
  // A watcher the system gives no thread is as if never installed.
  try {
    std::thread(watchFD, fd, queue, std::move(handler)).detach();
  } catch (const std::system_error&) {
  }
}

bool startThread(Task body) {
  if (!posix::platformAllowsThread()) return false;
  posix::SignalsKeptFromNewThreads quiet;
  // std::thread reports a thread it could not create as std::system_error.
  try {
    std::thread(std::move(body)).detach();
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

namespace posix {

void runOnQueue(DispatchQueue* queue, void (*function)(void*), void* context) {
  queue->runInline(function, context);
}

bool serveMainQueueOnce(
    std::optional<std::chrono::steady_clock::time_point> deadline, bool wait) {
  return mainQueue()->serveOne(deadline, wait, false);
}

void stopMainLoop() { mainQueue()->requestStop(); }

}  // namespace posix
}  // namespace audio
