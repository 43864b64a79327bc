// Simulated dispatch: serial queues with one thread each, a concurrent global
// queue, the main queue served by runMainLoop, the signal and
// read-readiness watchers, and plain threads.
#include "audio/dispatch.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audio/sim/sim.h"
#include "audio/sim/state.h"

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
      ++workers_;
      sim::SignalsKeptFromNewThreads quiet;
      std::thread([this] { work(); }).detach();
    } else {
      ready_.notify_one();
    }
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

 private:
  void work() {
    nameThisThread(label_);
    std::unique_lock lock(mutex_);
    for (;;) {
      ++idle_;
      ready_.wait(lock, [&] { return !tasks_.empty(); });
      --idle_;
      Task task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      task = nullptr;
      lock.lock();
    }
  }

  const std::string label_;
  const int maxWorkers_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Task> tasks_;
  int workers_ = 0;
  int idle_ = 0;
  bool stop_ = false;
};

namespace {

constexpr int kGlobalWorkers = 64;

// Signals arrive on a self-pipe: the handler only writes the signal number,
// a relay thread turns it into tasks on the main queue.
struct SignalRelay {
  int readEnd = -1;
  int writeEnd = -1;
  std::mutex mutex;
  std::vector<Task> handlers[NSIG];
};

std::atomic<int> signalPipe{-1};

void onSignal(int signo) {
  int saved = errno;
  unsigned char byte = static_cast<unsigned char>(signo);
  if (write(signalPipe.load(std::memory_order_relaxed), &byte, 1) < 0) {
    // The pipe is full: the arrival merges with those already queued.
  }
  errno = saved;
}

void relaySignals(SignalRelay* relay) {
  for (;;) {
    unsigned char byte;
    ssize_t n = read(relay->readEnd, &byte, 1);
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
      std::perror("nimbrel-sim: pipe");
      std::abort();
    }
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    relay->readEnd = fds[0];
    relay->writeEnd = fds[1];
    fcntl(relay->writeEnd, F_SETFL, O_NONBLOCK);
    signalPipe.store(relay->writeEnd);
    sim::SignalsKeptFromNewThreads quiet;
    std::thread(relaySignals, relay).detach();
    return relay;
  }();
  return *relay;
}

// Takes SIGINT and SIGTERM once no thread leaves them unblocked.
void waitForStopSignals() {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  for (;;) {
    int signo = 0;
    if (sigwait(&stops, &signo) == 0) onSignal(signo);
  }
}

// Runs `handler` on `queue` and waits until it has finished.
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
    int n = poll(&p, 1, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return;
    runAndWait(queue, handler);
    // A descriptor that is not open stays "ready" for ever: told once.
    if (p.revents & POLLNVAL) return;
  }
}

}  // namespace

DispatchQueue* mainQueue() {
  static DispatchQueue* const queue = new DispatchQueue("main", 0);
  return queue;
}

DispatchQueue* globalQueue() {
  sim::state();
  static DispatchQueue* const queue =
      new DispatchQueue("global", kGlobalWorkers);
  return queue;
}

DispatchQueue* createSerialQueue(const char* label) {
  sim::state();
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
  {
    sim::State& s = sim::state();
    std::lock_guard lock(s.mutex);
    sim::startHearingNotifications(s);
  }
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
  sim::state();
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
      sim::SignalsKeptFromNewThreads quiet;
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
  sim::state();
  sim::SignalsKeptFromNewThreads quiet;
  std::thread(watchFD, fd, queue, std::move(handler)).detach();
}

bool startThread(Task body) {
  {
    sim::State& s = sim::state();
    std::lock_guard lock(s.mutex);
    if (sim::failureFor(s, "startThread", std::nullopt, 0, nullptr)
            .value_or(kNoError) != kNoError) {
      return false;
    }
  }
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  Task* task = new Task(std::move(body));
  pthread_t thread;
  sim::SignalsKeptFromNewThreads quiet;
  const int status = pthread_create(
      &thread, &attributes,
      [](void* context) -> void* {
        Task* task = static_cast<Task*>(context);
        (*task)();
        delete task;
        return nullptr;
      },
      task);
  pthread_attr_destroy(&attributes);
  if (status != 0) delete task;
  return status == 0;
}

namespace sim {

void runMainQueueUntilIdle() {
  while (mainQueue()->serveOne(std::nullopt, false, false)) {
  }
}

bool runMainQueueUntil(const std::function<bool()>& done,
                       std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (!mainQueue()->serveOne(deadline, true, false)) return done();
  }
  return true;
}

void stopMainLoop() { mainQueue()->requestStop(); }

}  // namespace sim
}  // namespace audio
