// `sample(excluding)`: one snapshot of who uses audio, read from the audio
// system's process objects, named, classified and sorted.
#ifndef NIMBREL_PROBE_SAMPLER_H_
#define NIMBREL_PROBE_SAMPLER_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "probe/messages.h"

namespace probe {

/// System services that hold the microphone for good ("Listen for Siri",
/// dictation, accessibility): listed, but never make the mic hot.
inline constexpr std::array<const char*, 9> kAlwaysOnMicHolders = {
    "com.apple.CoreSpeech",
    "com.apple.assistantd",
    "com.apple.Siri",
    "com.apple.siriactionsd",
    "com.apple.SpeechRecognitionCore",
    "com.apple.speech.recognition.AppleSpeechRecognition."
    "SpeechRecognitionEngine",
    "com.apple.voicebankingd",
    "com.apple.accessibility.universalAccessAuthWarn",
    "com.apple.universalaccessd",
};
/// The same services by process name, for when no bundle identifier matches.
inline constexpr std::array<const char*, 5> kAlwaysOnMicHolderNames = {
    "corespeechd",      "assistantd",          "siriactionsd",
    "universalaccessd", "VTDecoderXPCService",
};

struct CachedName {
  std::string name;
  bool gui = false;
};

// Module state the sampler reads (and, for `nameCache`, fills); the main
// program sets it up at start. Allocated once and never destroyed, so that
// ending the process from another thread cannot pull it away from the main
// thread. The two sets hold text in canonical (NFD) form, as ASCII is;
// `excludedBundlePrefixes` holds text that `support::repairUtf8` has
// decoded.
extern std::unordered_set<std::string>& alwaysOnMicHolders;
extern std::unordered_set<std::string>& alwaysOnMicHolderNames;
extern std::vector<std::string>& excludedBundlePrefixes;
extern std::unordered_map<int32_t, CachedName>& nameCache;

/// Reads the process object list and returns the processes running audio
/// input or output, minus `excluding`, sorted input holders first, then by
/// PID. Never fails: a failed read drops the object or the flag concerned.
Report sample(const std::unordered_set<int32_t>& excluding);

/// The name a `proc_pidpath` result gives: the bytes decoded as UTF-8
/// (each ill-formed sequence becomes U+FFFD), then the text after the last
/// "/", trailing slashes disregarded ("/" stays "/").
std::string nameFromPath(std::string_view pathBytes);

}  // namespace probe

#endif  // NIMBREL_PROBE_SAMPLER_H_
