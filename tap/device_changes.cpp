// Device-change handling: four property listeners on the main queue and the
// one "device-changed" event the first change that passes its test sends.
#include "tap/device_changes.h"

#include <cstdint>

#include "audio/dispatch.h"
#include "audio/hardware.h"
#include "support/unicode_text.h"
#include "tap/chain.h"
#include "tap/events.h"
#include "tap/state.h"

namespace tap {
namespace {

// Each listener holds its own copy of what it compares with. The contexts
// are never freed: the platform may call a listener until the process ends.
struct DefaultOutputListener {
  std::string outputUID;
};
struct AggregateListener {
  std::string outputUID;
  audio::Selector selector;
  std::string reason;
};
struct OutputDeviceListener {
  std::string outputUID;
  audio::ObjectID outputDeviceID;
};

// Held here as well, so they stay reachable even if an installation fails.
DefaultOutputListener* defaultOutputListener = nullptr;
AggregateListener* livenessListener = nullptr;
AggregateListener* rateListener = nullptr;
OutputDeviceListener* outputDeviceListener = nullptr;

void defaultOutputChanged(void* context) {
  const auto& listener = *static_cast<const DefaultOutputListener*>(context);
  std::optional<std::string> uid = currentDefaultOutputUID();
  if (uid && support::textEqual(*uid, listener.outputUID)) return;
  announceDeviceChange("default-output-changed", uid, listener.outputUID);
}

void aggregateChanged(void* context) {
  const auto& listener = *static_cast<const AggregateListener*>(context);
  if (listener.selector == audio::kDeviceIsAlive) {
    uint32_t alive = 1;
    uint32_t size = sizeof(alive);
    if (audio::getPropertyData(aggregateID,
                               audio::globalAddress(listener.selector), 0,
                               nullptr, &size, &alive) != audio::kNoError ||
        alive != 0) {
      return;
    }
  } else {
    // Any rate but the announced one counts, 0 and not-a-number included.
    double rate = 0;
    uint32_t size = sizeof(rate);
    if (audio::getPropertyData(aggregateID,
                               audio::globalAddress(listener.selector), 0,
                               nullptr, &size, &rate) != audio::kNoError ||
        rate == sampleRate) {
      return;
    }
  }
  announceDeviceChange(listener.reason, currentDefaultOutputUID(),
                       listener.outputUID);
}

void outputDeviceRateChanged(void* context) {
  const auto& listener = *static_cast<const OutputDeviceListener*>(context);
  double rate = 0;
  uint32_t size = sizeof(rate);
  if (audio::getPropertyData(
          listener.outputDeviceID,
          audio::globalAddress(audio::kDeviceNominalSampleRate), 0, nullptr,
          &size, &rate) != audio::kNoError) {
    return;
  }
  // A device that reports no usable rate is passing through a switch.
  if (!(rate > 0) || rate == sampleRate) return;
  announceDeviceChange("device-sample-rate-changed", currentDefaultOutputUID(),
                       listener.outputUID);
}

}  // namespace

void announceDeviceChange(const std::string& reason,
                          const std::optional<std::string>& to,
                          const std::string& outputUID) {
  // Our own teardown may make the aggregate report itself dead, and the
  // platform may say so after the destroy call returned: not a change the
  // parent should hear of once it asked for the stop.
  // `shutdown` may begin on another thread at any moment: it either sees
  // `announcing` and waits for the line, or we see it has begun.
  if (announced) return;
  announcing = true;
  if (!shuttingDown) {
    announced = true;
    emit(deviceChangedEvent(reason, outputUID, to.value_or("none")));
  }
  announcing = false;
}

void installDeviceChangeListeners(const std::string& outputUID) {
  audio::DispatchQueue* main = audio::mainQueue();
  announced = false;
  deviceChangeAddress = audio::globalAddress(audio::kDefaultOutputDevice);
  // Installation results are not checked: a listener that could not be
  // installed only leaves its change unreported.
  defaultOutputListener = new DefaultOutputListener{outputUID};
  audio::addPropertyListener(systemObject, deviceChangeAddress, main,
                             defaultOutputChanged, defaultOutputListener);
  livenessListener =
      new AggregateListener{outputUID, audio::kDeviceIsAlive, "aggregate-dead"};
  audio::addPropertyListener(aggregateID,
                             audio::globalAddress(audio::kDeviceIsAlive), main,
                             aggregateChanged, livenessListener);
  rateListener = new AggregateListener{
      outputUID, audio::kDeviceNominalSampleRate, "sample-rate-changed"};
  audio::addPropertyListener(
      aggregateID, audio::globalAddress(audio::kDeviceNominalSampleRate), main,
      aggregateChanged, rateListener);
  if (outputDeviceID) {
    outputDeviceListener = new OutputDeviceListener{outputUID, *outputDeviceID};
    audio::addPropertyListener(
        *outputDeviceID, audio::globalAddress(audio::kDeviceNominalSampleRate),
        main, outputDeviceRateChanged, outputDeviceListener);
  }
}

}  // namespace tap
