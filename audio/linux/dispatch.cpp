// The event machinery on POSIX threads: serial queues with a thread each, a
// concurrent global queue, the main queue served by runMainLoop, signals
// through a self-pipe, read-readiness watchers on poll(), and plain threads.
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
#include <thread>
#include <vector>

#include "audio/linux/run_on_queue.h"

namespace audio {

// Tasks run in arrival order on up to `maxWorkers` threads, started as work
// comes; the main queue has none and is served by runMainLoop.
class DispatchQueue {
 public:
  DispatchQueue(std::string label, int maxWorkers)
      : label_(std::move(label)), maxWorkers_(maxWorkers) {}

  void push(Task task) {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
    if (int(tasks_.size()) > idle_ && workers_ < maxWorkers_) {
      ++workers_;
      std::thread([this] { work(); }).detach();
    } else {
      ready_.notify_one();
    }
  }

  // The main queue's loop, on the calling thread.
  [[noreturn]] void serve() { work(); }

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
  [[noreturn]] void work() {
    if (maxWorkers_ > 0)
      pthread_setname_np(pthread_self(), label_.substr(0, 15).c_str());
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
  bool busy_ = false;  // a serial queue's task, or an inline turn, is running
  std::deque<Task> tasks_;
  int workers_ = 0;
  int idle_ = 0;
};

namespace {

constexpr int kGlobalWorkers = 64;

// The handler only writes the signal number; a relay thread turns it into
// tasks on the main queue.
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
    if (pipe2(fds, O_CLOEXEC) != 0) {
      std::perror("nimbrel: pipe2");
      std::abort();
    }
    relay->readEnd = fds[0];
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    signalPipe.store(fds[1]);
    std::thread(relaySignals, relay).detach();
    return relay;
  }();
  return *relay;
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
  static DispatchQueue* const queue =
      new DispatchQueue("global", kGlobalWorkers);
  return queue;
}

DispatchQueue* createSerialQueue(const char* label) {
  return new DispatchQueue(label ? label : "", 1);  // lives for the process
}

void dispatchAsync(DispatchQueue* queue, Task task) {
  queue->push(std::move(task));
}

void pulse::runOnQueue(DispatchQueue* queue, void (*function)(void*),
                       void* context) {
  queue->runInline(function, context);
}

void runMainLoop() { mainQueue()->serve(); }

// Linux does not report a signal whose action is "ignore", so the watcher
// takes the signal over with a handler of its own.
void watchSignal(int signo, Task handler) {
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
}

void watchReadable(int fd, DispatchQueue* queue, Task handler) {
  std::thread(watchFD, fd, queue, std::move(handler)).detach();
}

bool startThread(Task body) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  Task* task = new Task(std::move(body));
  pthread_t thread;
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

}  // namespace audio
