// Device-change handling: four property listeners on the main queue and the
// one "device-changed" event the first change that passes its test sends.
#ifndef NIMBREL_TAP_DEVICE_CHANGES_H_
#define NIMBREL_TAP_DEVICE_CHANGES_H_

#include <optional>
#include <string>

namespace tap {

/// Writes "device-changed" from `outputUID` to `to` ("none" when absent),
/// unless one was already written. Main queue only.
void announceDeviceChange(const std::string& reason,
                          const std::optional<std::string>& to,
                          const std::string& outputUID);

/// Installs the default-output, aggregate liveness, aggregate rate and (when
/// `outputDeviceID` is present) output-device rate listeners, in that order.
void installDeviceChangeListeners(const std::string& outputUID);

}  // namespace tap

#endif  // NIMBREL_TAP_DEVICE_CHANGES_H_
