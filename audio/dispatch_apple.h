// The Grand Central Dispatch queue behind audio::DispatchQueue, shared by the
// Objective-C++ files of the macOS platform layer (compiled with ARC).
#ifndef NIMBREL_AUDIO_DISPATCH_APPLE_H_
#define NIMBREL_AUDIO_DISPATCH_APPLE_H_

#include <dispatch/dispatch.h>

// Queues and sources are Objective-C objects whose lifetimes ARC manages.
#if !OS_OBJECT_USE_OBJC
#error "GCD objects must be Objective-C objects (OS_OBJECT_USE_OBJC)."
#endif

namespace audio {

class DispatchQueue {
 public:
  explicit DispatchQueue(dispatch_queue_t queue) : queue(queue) {}
  // A strong reference: a DispatchQueue is never freed, so neither is this.
  dispatch_queue_t const queue;
};

}  // namespace audio

#endif  // NIMBREL_AUDIO_DISPATCH_APPLE_H_
