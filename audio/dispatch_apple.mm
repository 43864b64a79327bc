// The event machinery on Grand Central Dispatch: the main queue served by the
// main run loop, global and serial queues, signal and read-readiness sources.
#include "audio/dispatch.h"

#import <Foundation/Foundation.h>

#include <csignal>
#include <system_error>
#include <thread>
#include <utility>

#include "audio/dispatch_apple.h"

#if !__has_feature(objc_arc)
#error "The macOS platform layer is written for ARC (-fobjc-arc)."
#endif

namespace audio {
namespace {

// Sources are never cancelled: one extra reference, never given back, keeps
// each alive for the life of the process.
void keepForever(dispatch_source_t source) { (void)CFBridgingRetain(source); }

// The task lives as long as its source: a plain pointer keeps the block free
// of C++ object copies.
void setHandler(dispatch_source_t source, Task handler) {
  Task* task = new Task(std::move(handler));
  dispatch_source_set_event_handler(source, ^{
    (*task)();
  });
}

}  // namespace

DispatchQueue* mainQueue() {
  static DispatchQueue* const queue =
      new DispatchQueue(dispatch_get_main_queue());
  return queue;
}

DispatchQueue* globalQueue() {
  static DispatchQueue* const queue =
      new DispatchQueue(dispatch_get_global_queue(QOS_CLASS_DEFAULT, 0));
  return queue;
}

DispatchQueue* createSerialQueue(const char* label) {
  dispatch_queue_attr_t attributes = dispatch_queue_attr_make_with_qos_class(
      DISPATCH_QUEUE_SERIAL, QOS_CLASS_USER_INITIATED, 0);
  return new DispatchQueue(dispatch_queue_create(label, attributes));
}

void dispatchAsync(DispatchQueue* queue, Task task) {
  dispatch_async_f(queue->queue, new Task(std::move(task)), [](void* context) {
    Task* task = static_cast<Task*>(context);
    (*task)();
    delete task;
  });
}

void runMainLoop() {
  @autoreleasepool {
    [[NSRunLoop mainRunLoop] run];
  }
}

void watchSignal(int signo, Task handler) {
  // The source only sees the signal once its default action is gone.
  signal(signo, SIG_IGN);
  dispatch_source_t source =
      dispatch_source_create(DISPATCH_SOURCE_TYPE_SIGNAL, uintptr_t(signo), 0,
                             dispatch_get_main_queue());
  setHandler(source, std::move(handler));
  dispatch_resume(source);
  keepForever(source);
}

void watchReadable(int fd, DispatchQueue* queue, Task handler) {
  // A source never runs its handler twice at once, even on a concurrent queue.
  dispatch_source_t source = dispatch_source_create(
      DISPATCH_SOURCE_TYPE_READ, uintptr_t(fd), 0, queue->queue);
  setHandler(source, std::move(handler));
  dispatch_resume(source);
  keepForever(source);
}

bool startThread(Task body) {
  // A plain thread, not a queue's: the writer blocks for long stretches.
  // std::thread reports one it could not create as std::system_error.
  try {
    std::thread(std::move(body)).detach();
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

}  // namespace audio
