// Property listeners, kept and told.
#include "audio/posix/listeners.h"

#include "audio/dispatch.h"

namespace audio::posix {

void ListenerRegistry::add(const Listener& listener) {
  std::lock_guard lock(mutex_);
  listeners_.push_back(listener);
}

void ListenerRegistry::clear() {
  std::lock_guard lock(mutex_);
  listeners_.clear();
}

void ListenerRegistry::tell(
    const std::function<bool(const Listener&)>& concerns) const {
  std::lock_guard lock(mutex_);
  for (const Listener& l : listeners_) {
    if (!concerns(l)) continue;
    dispatchAsync(
        l.queue ? l.queue : globalQueue(),
        [function = l.function, context = l.context] { function(context); });
  }
}

}  // namespace audio::posix
