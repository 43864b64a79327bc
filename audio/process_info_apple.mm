// The probe's name look-ups on macOS: AppKit's running applications and
// libproc's executable path. A library of its own, so that only the probe
// loads AppKit.
#include "audio/process_info.h"

#import <AppKit/AppKit.h>

#include <libproc.h>

#include "audio/hardware.h"

#if !__has_feature(objc_arc)
#error "The macOS platform layer is written for ARC (-fobjc-arc)."
#endif

namespace audio {

std::optional<std::string> runningApplicationName(int32_t pid) {
  // The probe's main thread has no run loop pool of its own while it sleeps.
  @autoreleasepool {
    NSRunningApplication* application =
        [NSRunningApplication runningApplicationWithProcessIdentifier:pid];
    NSString* name = application.localizedName;
    // The same conversion as every other platform string.
    return stringValue(reinterpret_cast<StringRef>((__bridge CFStringRef)name));
  }
}

int processPath(int32_t pid, char* buffer, uint32_t bufferSize) {
  return proc_pidpath(pid, buffer, bufferSize);
}

}  // namespace audio
