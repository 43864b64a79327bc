// Simulated worlds for the tap's end-to-end tests, and the PCM the tap must
// write for them, computed by the plain reference of the conversion rules.
#ifndef NIMBREL_TESTING_TAP_WORLDS_H_
#define NIMBREL_TESTING_TAP_WORLDS_H_

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "audio/hardware.h"
#include "audio/sim/world.h"
#include "tap/conversion.h"
#include "testing/conversion_reference.h"
#include "testing/e2e_harness.h"

namespace tapworld {

/// What a process plays at frame n counted from device start: the
/// simulated platform's own record, so that expectations use its waveforms.
using Signal = audio::sim::Signal;

inline Signal constant(double value) {
  return {Signal::Kind::kConstant, value, 0, 0, 1};
}
inline Signal ramp(double start, double step, uint64_t period) {
  return {Signal::Kind::kRamp, 0, start, step, period};
}
inline Signal square(double value, uint64_t period) {
  return {Signal::Kind::kSquare, value, 0, 0, period};
}

/// A double in JSON that reads back to the same value.
inline std::string number(double value) {
  char text[40];
  std::snprintf(text, sizeof(text), "%.17g", value);
  return text;
}

inline std::string signalJson(const Signal& s) {
  switch (s.kind) {
    case Signal::Kind::kSilence:
      return "{\"kind\":\"constant\",\"value\":0}";
    case Signal::Kind::kConstant:
      return "{\"kind\":\"constant\",\"value\":" + number(s.value) + "}";
    case Signal::Kind::kRamp:
      return "{\"kind\":\"ramp\",\"start\":" + number(s.start) +
             ",\"step\":" + number(s.step) +
             ",\"period\":" + std::to_string(s.period) + "}";
    case Signal::Kind::kSquare:
      return "{\"kind\":\"square\",\"value\":" + number(s.value) +
             ",\"period\":" + std::to_string(s.period) + "}";
  }
  return "{}";
}

template <typename T>
std::string list(const std::vector<T>& values) {
  std::string out = "[";
  for (size_t i = 0; i < values.size(); ++i) {
    if (i) out += ",";
    if constexpr (std::is_floating_point_v<T>) {
      out += number(values[i]);
    } else {
      out += std::to_string(values[i]);
    }
  }
  return out + "]";
}

/// A process that plays: object 100 + index, output running.
struct Player {
  int32_t pid;
  Signal signal;
};

/// The default output device (id 50, "speakers"), a second device (id 51,
/// "usb-dac") to switch to, a tap and what plays into it.
struct CaptureWorld {
  // Every member has an initializer, so tables can name only what differs.
  std::vector<Player> players{};
  std::string outputUID = "speakers";
  std::string otherUID = "usb-dac";
  double deviceRate = 48000;
  std::vector<uint32_t> inputStreams{};  // of the default output device
  std::string outputExtra{};  // more members of that device, leading comma
  double tapRate = 48000;
  bool isFloat = true;
  std::vector<uint32_t> tapBuffers{1};  // channels per buffer
  std::vector<double> gains{};          // per channel; missing ones are 1
  double speed = 1;
  std::string extra{};  // more top-level members, each with a leading comma

  uint32_t framesPerCycle() const { return 512; }

  std::string json() const {
    std::string processes = "[";
    for (size_t i = 0; i < players.size(); ++i) {
      if (i) processes += ",";
      processes +=
          "{\"object\":" + std::to_string(100 + i) +
          ",\"pid\":" + std::to_string(players[i].pid) +
          ",\"output\":true,\"signal\":" + signalJson(players[i].signal) + "}";
    }
    processes += "]";
    return "{\"processes\":" + processes +
           ",\"devices\":[{\"id\":50,\"uid\":" + e2e::quoted(outputUID) +
           ",\"rate\":" + number(deviceRate) +
           ",\"inputStreams\":" + list(inputStreams) + outputExtra +
           "},{\"id\":51,\"uid\":" + e2e::quoted(otherUID) +
           ",\"rate\":48000}]" +
           ",\"defaultOutput\":" + e2e::quoted(outputUID) +
           ",\"tap\":{\"rate\":" + number(tapRate) +
           ",\"float\":" + (isFloat ? "true" : "false") +
           ",\"buffers\":" + list(tapBuffers) + ",\"gains\":" + list(gains) +
           "}" + ",\"ioBufferFrames\":" + std::to_string(framesPerCycle()) +
           ",\"speed\":" + number(speed) + extra + "}";
  }
};

/// What the tap writes for frames [0, frames) of `world` (a whole number of
/// cycles) when the processes of `excluded` are left out.
inline std::vector<int16_t> expectedPCM(const CaptureWorld& world,
                                        uint64_t frames,
                                        const std::vector<int32_t>& excluded) {
  const uint32_t perCycle = world.framesPerCycle();
  std::vector<double> gains = world.gains;
  uint32_t tapChannels = 0;
  for (uint32_t c : world.tapBuffers) tapChannels += c;
  gains.resize(tapChannels, 1.0);
  int64_t subDeviceInputChannels = 0;
  for (uint32_t c : world.inputStreams) subDeviceInputChannels += c;

  const tap::ConversionInput input{subDeviceInputChannels, world.isFloat,
                                   world.isFloat ? 4 : 2};
  std::vector<int16_t> pcm;
  for (uint64_t n0 = 0; n0 < frames; n0 += perCycle) {
    // The cycle's buffers as the I/O block gets them: the device's own input
    // streams (zero floats, whatever the tap's format), then the tap's.
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> data;
    for (uint32_t channels : world.inputStreams) {
      data.push_back(
          {channels, std::vector<uint8_t>(size_t(perCycle) * channels * 4, 0)});
    }
    uint32_t firstChannel = 0;
    for (uint32_t channels : world.tapBuffers) {
      std::vector<uint8_t> bytes;
      auto append = [&bytes](const auto sample) {
        const auto* raw = reinterpret_cast<const uint8_t*>(&sample);
        bytes.insert(bytes.end(), raw, raw + sizeof sample);
      };
      for (uint32_t f = 0; f < perCycle; ++f) {
        double mix = 0;
        for (const Player& p : world.players) {
          if (std::find(excluded.begin(), excluded.end(), p.pid) ==
              excluded.end()) {
            mix += p.signal.at(n0 + f);
          }
        }
        for (uint32_t k = 0; k < channels; ++k) {
          const double value = mix * gains[firstChannel + k];
          if (world.isFloat) {
            append(float(value));
          } else {
            append(int16_t(
                std::clamp(std::trunc(value * 32767), -32768.0, 32767.0)));
          }
        }
      }
      firstChannel += channels;
      data.push_back({channels, std::move(bytes)});
    }
    std::vector<audio::Buffer> buffers;
    for (auto& [channels, bytes] : data) {
      buffers.push_back({channels, uint32_t(bytes.size()), bytes.data()});
    }
    const std::vector<int16_t> cycle =
        reference::convert(buffers, input).samples;
    pcm.insert(pcm.end(), cycle.begin(), cycle.end());
  }
  pcm.resize(std::min<size_t>(pcm.size(), frames));
  return pcm;
}

/// Little-endian 16-bit samples from the bytes of the PCM stream.
inline std::vector<int16_t> samples(const std::string& bytes) {
  std::vector<int16_t> out(bytes.size() / 2);
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = int16_t(uint16_t(uint8_t(bytes[2 * i])) |
                     uint16_t(uint16_t(uint8_t(bytes[2 * i + 1])) << 8));
  }
  return out;
}

}  // namespace tapworld

#endif  // NIMBREL_TESTING_TAP_WORLDS_H_
