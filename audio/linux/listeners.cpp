// Property listeners, told by the server's change events: the default sink
// ('dOut'), a sink's rate ('nsrt'), and anything that can end a capture
// device ('livn'). A listener re-reads what it watches, so telling it once
// too often is harmless; telling it too seldom is not.
#include "audio/posix/listeners.h"

#include "audio/hardware.h"
#include "audio/linux/objects.h"
#include "audio/linux/server.h"

namespace audio {
namespace {

using namespace pulse;

posix::ListenerRegistry& listeners = *new posix::ListenerRegistry;

bool concerns(const posix::Listener& listener, Change change,
              uint32_t sinkIndex) {
  switch (change) {
    case Change::DefaultSink:
      return listener.object == kSystemObject &&
             listener.selector == kDefaultOutputDevice;
    case Change::SinkRate:
      return listener.selector == kDeviceNominalSampleRate &&
             listener.object == deviceObject(sinkIndex);
    case Change::Liveness:
      return listener.selector == kDeviceIsAlive;
    case Change::Players:
      return false;
  }
  return false;
}

void changed(Change change, uint32_t sinkIndex) {
  listeners.tell([&](const posix::Listener& listener) {
    return concerns(listener, change, sinkIndex);
  });
}

}  // namespace

// libpulse delivers the server's events on its own thread already.
Status clearNotificationRunLoop() { return kNoError; }

Status addPropertyListener(ObjectID object, const PropertyAddress& address,
                           DispatchQueue* queue, ListenerFunction listener,
                           void* context) {
  if (queue == nullptr || listener == nullptr) return kIllegalOperation;
  const ObjectID kind = kindOf(object);
  if (object != kSystemObject && kind != kDeviceKind && kind != kAggregateKind)
    return kBadObject;
  setChangeObserver(changed);
  listeners.add({object, address.selector, queue, listener, context});
  return kNoError;
}

}  // namespace audio
