// Tests of the I/O block's conversion: buffer walk, frame counts, the five
// paths, work-array growth, and a randomised check against the plain reference.
#include "tap/conversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "tap/io_block.h"
#include "testing/conversion_reference.h"

namespace tap {
namespace {

// One cycle's buffers with the storage behind them.
struct Cycle {
  std::vector<std::vector<uint8_t>> storage;
  std::vector<audio::Buffer> buffers;

  void raw(uint32_t channels, std::vector<uint8_t> bytes, bool null = false) {
    storage.push_back(std::move(bytes));
    buffers.push_back({channels, uint32_t(storage.back().size()),
                       null ? nullptr : storage.back().data()});
  }
  template <typename T>
  void add(uint32_t channels, const std::vector<T>& samples) {
    std::vector<uint8_t> bytes(samples.size() * sizeof(T));
    std::memcpy(bytes.data(), samples.data(), bytes.size());
    raw(channels, std::move(bytes));
  }
};

template <typename T>
std::vector<T> repeated(const std::vector<T>& items, int times) {
  std::vector<T> out;
  for (int k = 0; k < times; ++k)
    out.insert(out.end(), items.begin(), items.end());
  return out;
}

Cycle repeated(const Cycle& cycle, int times) {
  Cycle out;
  for (size_t k = 0; k < cycle.buffers.size(); ++k) {
    out.raw(cycle.buffers[k].numberChannels, repeated(cycle.storage[k], times));
  }
  return out;
}

ConversionInput inputFor(int64_t sub, bool isFloat) {
  return {sub, isFloat, isFloat ? 4 : 2};
}

std::vector<int16_t> convert(const Cycle& cycle, ConversionInput input) {
  std::vector<int16_t> scratch(16);
  std::vector<float> accumulator(16);
  int64_t frames = convertCycle(cycle.buffers, input, scratch, accumulator);
  return {scratch.begin(), scratch.begin() + frames};
}

TEST(Conversion, WalkFindsTheFirstTapBuffer) {
  // Integer buffers whose samples are 100 x (index + 1) show which buffer
  // was converted.
  struct Case {
    int64_t sub;
    std::vector<uint32_t> channels;
    int16_t expected;
  };
  const Case cases[] = {
      {5, {2}, 100},  // one buffer is the tap's, whatever sub says
      {0, {1}, 100},
      {2, {2, 1}, 200},      // exact total, a buffer follows
      {1, {2, 1, 1}, 300},   // overshoot: last buffer
      {2, {1, 1}, 200},      // walk uses all: last buffer
      {3, {1, 1}, 200},      // short: last buffer
      {-1, {1, 1, 1}, 300},  // negative: last buffer
      {2, {0, 0, 1}, 300},   // 0 channels count as 1 in the walk
      // Two tap buffers (300 and 400) mix to 350/32768, then Q truncates.
      {2, {1, 1, 1, 1}, 349},
  };
  for (const Case& c : cases) {
    Cycle cycle;
    for (size_t k = 0; k < c.channels.size(); ++k) {
      uint32_t w = c.channels[k] == 0 ? 1 : c.channels[k];
      cycle.add(c.channels[k],
                std::vector<int16_t>(4 * w, int16_t(100 * (k + 1))));
    }
    EXPECT_EQ(convert(cycle, inputFor(c.sub, false)),
              std::vector<int16_t>(4, c.expected))
        << "sub " << c.sub << ", " << c.channels.size() << " buffers";
  }
}

TEST(Conversion, FramesAreTheSmallestWholeFrameCount) {
  struct Case {
    const char* name;
    bool isFloat;
    std::vector<std::pair<uint32_t, size_t>> buffers;  // channels, bytes
    int64_t frames;
  };
  const Case cases[] = {
      {"float mono 4096 bytes", true, {{1, 4096}}, 1024},
      {"float mono 4098 bytes", true, {{1, 4098}}, 1024},
      {"int stereo 4099 bytes", false, {{2, 4099}}, 1024},
      {"0 channels count as 1", false, {{0, 10}}, 5},
      {"512 and 480 frames", true, {{1, 2048}, {1, 1920}}, 480},
      {"float mono 3 bytes", true, {{1, 3}}, 0},
      {"a tap buffer under one frame", true, {{1, 2048}, {1, 3}}, 0},
  };
  for (const Case& c : cases) {
    Cycle cycle;
    for (auto [channels, bytes] : c.buffers)
      cycle.raw(channels, std::vector<uint8_t>(bytes));
    EXPECT_EQ(int64_t(convert(cycle, inputFor(0, c.isFloat)).size()), c.frames)
        << c.name;
  }
}

TEST(Conversion, NoBuffersOrANullTapBufferYieldNothing) {
  EXPECT_TRUE(convert(Cycle{}, inputFor(0, true)).empty());
  Cycle cycle;
  cycle.add<float>(1, {0.5f, 0.5f});
  cycle.raw(1, std::vector<uint8_t>(8), /*null=*/true);
  EXPECT_TRUE(convert(cycle, inputFor(0, true)).empty());
  // A null buffer ahead of the tap's does not matter.
  Cycle deviceNull;
  deviceNull.raw(1, std::vector<uint8_t>(8), /*null=*/true);
  deviceNull.add<float>(1, {0.5f, 0.5f});
  EXPECT_EQ(convert(deviceNull, inputFor(1, true)),
            (std::vector<int16_t>{16383, 16383}));
}

TEST(Conversion, QTruncatesClampsAndMapsNaNHigh) {
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> in = {1.0f,          -1.0f, 0.5f, -0.5f, 3.0f,
                                 std::nanf(""), -inf,  inf,  -0.0f};
  const std::vector<int16_t> out = {32767, -32767, 16383, -16383, 32767,
                                    32767, -32767, 32767, 0};
  Cycle cycle;
  cycle.add(1, in);
  EXPECT_EQ(convert(cycle, inputFor(0, true)), out);
  for (size_t k = 0; k < in.size(); ++k)
    EXPECT_EQ(floatToSample(in[k]), out[k]);
}

TEST(Conversion, PathsAverageChannels) {
  struct Case {
    const char* name;
    Cycle cycle;
    bool isFloat;
    std::vector<int16_t> expected;
  };
  std::vector<Case> cases;
  auto addCase = [&](const char* name, bool isFloat,
                     std::vector<int16_t> expected, auto fill) {
    Case c{name, {}, isFloat, std::move(expected)};
    fill(c.cycle);
    cases.push_back(std::move(c));
  };
  addCase("float stereo 0.5, 0.25 truncates 12287.625", true, {12287},
          [](Cycle& c) {
            c.add<float>(2, {0.5f, 0.25f});
          });
  addCase("float 3 channels divides by 3", true, {10922}, [](Cycle& c) {
    c.add<float>(3, {1.0f, 0.0f, 0.0f});
  });
  addCase("integer mono -32768 passes unchanged", false, {-32768, 32767},
          [](Cycle& c) {
            c.add<int16_t>(1, {-32768, 32767});
          });
  addCase("integer stereo truncates toward zero", false, {-32767, 32766},
          [](Cycle& c) {
            c.add<int16_t>(2, {-32768, -32767, 32767, 32766});
          });
  addCase("integer 3 channels, -2/3 truncates to 0", false, {0, 21845},
          [](Cycle& c) {
            c.add<int16_t>(3, {-1, -1, 0, 32767, 32767, 1});
          });
  addCase("two integer mono buffers at full scale go through Q", false,
          {32766, -32767}, [](Cycle& c) {
            c.add<int16_t>(1, {32767, -32768});
            c.add<int16_t>(1, {32767, -32768});
          });
  addCase("three integer channels in two buffers at full scale", false,
          {32766, -32767}, [](Cycle& c) {
            c.add<int16_t>(1, {32767, -32768});
            c.add<int16_t>(2, {32767, 32767, -32768, -32768});
          });
  addCase("several float buffers multiply by the reciprocal", true, {12287},
          [](Cycle& c) {
            c.add<float>(1, {0.5f});
            c.add<float>(0, {0.25f});
          });
  // Float additions depend on their order: 3e7 - 3e7 + 0.9 is 0.9, while
  // 3e7 + (-3e7 + 0.9) is 0. 0.9 x (1/3) x 32767 truncates to 9830. Sixteen
  // frames, so the vector loops take part as well.
  addCase("float channels add in channel order", true,
          std::vector<int16_t>(16, 9830), [](Cycle& c) {
            std::vector<float> frames;
            for (int i = 0; i < 16; ++i)
              frames.insert(frames.end(), {3e7f, -3e7f, 0.9f});
            c.add<float>(3, frames);
          });
  addCase("several buffers add buffer by buffer, channel by channel", true,
          std::vector<int16_t>(16, 9830), [](Cycle& c) {
            std::vector<float> stereo;
            for (int i = 0; i < 16; ++i)
              stereo.insert(stereo.end(), {-3e7f, 0.9f});
            c.add<float>(1, std::vector<float>(16, 3e7f));
            c.add<float>(2, stereo);
          });
  // Each case also runs 16 times over in one cycle, long enough for the
  // vector loops, which take whole blocks of 16 frames.
  for (bool vector : {false, true}) {
    useVectorLoops(vector);  // ends on: the default
    for (const Case& c : cases) {
      EXPECT_EQ(convert(c.cycle, inputFor(0, c.isFloat)), c.expected)
          << c.name << (vector ? ", vector loops" : "");
      EXPECT_EQ(convert(repeated(c.cycle, 16), inputFor(0, c.isFloat)),
                repeated(c.expected, 16))
          << c.name << ", 16 times" << (vector ? ", vector loops" : "");
    }
  }
}

TEST(Conversion, WorkArraysGrowToTwiceTheFramesAndNeverShrink) {
  OutputQueue queue(1 << 20);
  IOBlockState state{inputFor(0, false), std::vector<int16_t>(65536),
                     std::vector<float>(65536), &queue};
  std::vector<int16_t> samples(70000, 7);
  Cycle big;
  big.add<int16_t>(1, samples);
  big.add<int16_t>(1, samples);
  auto run = [&](Cycle& cycle) {
    auto list =
        std::vector<uint8_t>(sizeof(audio::BufferList) +
                             cycle.buffers.size() * sizeof(audio::Buffer));
    auto* bufferList = reinterpret_cast<audio::BufferList*>(list.data());
    bufferList->numberBuffers = uint32_t(cycle.buffers.size());
    std::memcpy(bufferList->buffers, cycle.buffers.data(),
                cycle.buffers.size() * sizeof(audio::Buffer));
    ioBlock(&state, bufferList);
  };
  run(big);
  EXPECT_EQ(state.scratch.size(), 140000u);
  EXPECT_EQ(state.accumulator.size(), 140000u);
  EXPECT_EQ(queue.queuedBytes(), 140000);

  big.buffers.pop_back();  // single-buffer path: only scratch is used
  run(big);
  EXPECT_EQ(queue.queuedBytes(), 280000);
  Cycle small;
  small.add<int16_t>(1, {1, 2});
  run(small);
  EXPECT_EQ(state.scratch.size(), 140000u);
  EXPECT_EQ(state.accumulator.size(), 140000u);
  EXPECT_EQ(queue.queuedBytes(), 280004);
}

TEST(Conversion, SkippedCycleLeavesNoGapInTheStream) {
  OutputQueue queue;
  IOBlockState state{inputFor(0, false), std::vector<int16_t>(65536),
                     std::vector<float>(65536), &queue};
  int16_t first[2] = {1, 2}, second[2] = {3, 4};
  audio::BufferList list{1, {{1, 4, first}}};
  ioBlock(&state, &list);
  list.buffers[0].data = nullptr;
  ioBlock(&state, &list);
  list.buffers[0].data = second;
  ioBlock(&state, &list);
  queue.finish();
  Chunk chunk;
  ASSERT_TRUE(queue.drain(chunk));
  ASSERT_EQ(chunk.size, 8);
  int16_t out[4];
  std::memcpy(out, chunk.first().data(), 8);
  EXPECT_EQ(std::vector<int16_t>(out, out + 4),
            (std::vector<int16_t>{1, 2, 3, 4}));
}

void compareWithReferenceOnRandomCycles() {
  std::mt19937 random(20240601);
  auto pick = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  const float specials[] = {1.0f,
                            -1.0f,
                            0.99999994f,
                            -0.0f,
                            1e-40f,
                            2.5f,
                            std::nanf(""),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity()};
  std::vector<int16_t> scratch(8);
  std::vector<float> accumulator(8);
  for (int round = 0; round < 2000; ++round) {
    const bool isFloat = pick(0, 1) == 1;
    const ConversionInput in = inputFor(pick(-1, 6), isFloat);
    Cycle cycle;
    const int buffers = pick(round == 0 ? 0 : 1, 4);
    const int frames = pick(0, 300);
    for (int k = 0; k < buffers; ++k) {
      uint32_t channels = uint32_t(pick(0, 5));
      int64_t w = channels == 0 ? 1 : channels;
      // Frame counts differ a little between buffers, with stray bytes, and
      // data starts at an odd address now and then.
      size_t bytes = size_t(
          (frames + pick(0, 3)) * w * in.bytesPerSourceSample + pick(0, 3));
      size_t offset = size_t(pick(0, 1));
      std::vector<uint8_t> data(bytes + offset);
      const size_t step = isFloat ? 4 : 2;
      for (size_t j = offset; j + step <= data.size(); j += step) {
        if (isFloat) {
          float v = pick(0, 20) == 0 ? specials[pick(0, 8)]
                                     : std::uniform_real_distribution<float>(
                                           -1.2f, 1.2f)(random);
          std::memcpy(&data[j], &v, 4);
        } else {
          int16_t v = int16_t(pick(-32768, 32767));
          std::memcpy(&data[j], &v, 2);
        }
      }
      cycle.storage.push_back(std::move(data));
      cycle.buffers.push_back(
          {channels, uint32_t(bytes),
           pick(0, 60) == 0 ? nullptr : cycle.storage.back().data() + offset});
    }
    int64_t got = convertCycle(cycle.buffers, in, scratch, accumulator);
    std::vector<int16_t> expected =
        reference::convert(cycle.buffers, in).samples;
    ASSERT_EQ(std::vector<int16_t>(scratch.begin(), scratch.begin() + got),
              expected)
        << "round " << round;
  }
}

TEST(Conversion, ManyLoudBuffersRoundAsFloatSums) {
  // 300 stereo buffers at 32765: the float sums pass 512 and start to round,
  // so the mix gives 32763 where exact integer arithmetic would give 32764.
  Cycle cycle;
  for (int k = 0; k < 300; ++k)
    cycle.add<int16_t>(2, std::vector<int16_t>(32, 32765));
  for (bool vector : {false, true}) {
    useVectorLoops(vector);  // ends on: the default
    EXPECT_EQ(convert(cycle, inputFor(0, false)),
              std::vector<int16_t>(16, 32763));
  }
}

TEST(Conversion, MatchesThePlainReferenceOnRandomCycles) {
  useVectorLoops(false);
  compareWithReferenceOnRandomCycles();
  if (useVectorLoops(true)) {  // left on: the default
    SCOPED_TRACE("vector loops");
    compareWithReferenceOnRandomCycles();
  }
}

}  // namespace
}  // namespace tap
