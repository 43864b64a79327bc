// The probe's name look-ups on macOS: AppKit's running applications and
// libproc's executable path.
#include "audio/process_info.h"

#import <AppKit/AppKit.h>

#include <libproc.h>

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
    const char* utf8 = name.UTF8String;
    if (utf8 == nullptr) return std::nullopt;
    return std::string(utf8);
  }
}

int processPath(int32_t pid, char* buffer, uint32_t bufferSize) {
  return proc_pidpath(pid, buffer, bufferSize);
}

}  // namespace audio
