// Property listeners as the seam takes them: kept for the process, told on
// their own queues.
#ifndef NIMBREL_AUDIO_POSIX_LISTENERS_H_
#define NIMBREL_AUDIO_POSIX_LISTENERS_H_

#include <functional>
#include <mutex>
#include <vector>

#include "audio/hardware.h"

namespace audio::posix {

struct Listener {
  ObjectID object;
  Selector selector;
  DispatchQueue* queue;  // null: the global queue
  ListenerFunction function;
  void* context;
};

class ListenerRegistry {
 public:
  void add(const Listener& listener);
  void clear();
  /// Queues a call of each listener `concerns` picks, in the order added.
  void tell(const std::function<bool(const Listener&)>& concerns) const;

 private:
  mutable std::mutex mutex_;
  std::vector<Listener> listeners_;
};

}  // namespace audio::posix

#endif  // NIMBREL_AUDIO_POSIX_LISTENERS_H_
