// The per-stream mix on the sink's clock: placement once, sums, silence where
// nothing plays, late frames spent rather than shifted. And what takes the
// left-out players out of the sink's monitor: the gate and the canceller.
#include "audio/linux/timeline_mix.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "audio/linux/canceller.h"
#include "audio/linux/exclusion_gate.h"

namespace audio::pulse {
namespace {

std::vector<float> frames(std::initializer_list<float> values) {
  return values;
}

TEST(TimelineMix, ClockAloneGivesSilenceHoldBackFramesLate) {
  TimelineMix mix(2, 1 << 20);
  std::vector<float> out;
  mix.clockFrames(1, out);
  EXPECT_TRUE(out.empty()) << "still inside the hold-back";
  mix.clockFrames(4, out);
  EXPECT_EQ(out, frames({0, 0, 0}));
  mix.clockFrames(3, out);
  EXPECT_EQ(out.size(), 6u) << "every clock frame becomes one output frame";
  mix.skip(5);  // idle: as if its 5 frames of silence had been made
  const float one = 1;
  mix.sourceFrames(7, &one, 1);
  EXPECT_EQ(mix.placedAt(7), 12) << "placed where the clock is";
}

TEST(TimelineMix, SourcesLandWhereTheyArrivedAndAreSummed) {
  TimelineMix mix(2, 1 << 20);
  std::vector<float> out;
  mix.clockFrames(4, out);  // 0 1 emitted
  const std::vector<float> a{1, 1, 1, 1};
  mix.sourceFrames(7, a.data(), 2);  // placed at 2 and 3
  const std::vector<float> b{0.5f, 0.5f};
  mix.sourceFrames(9, b.data(), 1);  // placed at 3
  mix.sourceFrames(7, a.data(), 2);  // 4 and 5, straight after
  mix.clockFrames(4, out);           // 2..5 due
  EXPECT_EQ(out, frames({0, 0, 1, 1.5f, 1, 1}));
}

// A source that brought nothing for a while (a paused player) is placed
// again where the clock is, not lost in the past for good.
TEST(TimelineMix, SourceWhoseFramesAllCameLateIsPlacedAgain) {
  TimelineMix mix(1, 1 << 20);
  std::vector<float> out;
  const std::vector<float> ones(8, 1.0f);
  mix.sourceFrames(1, ones.data(), 2);  // placed at -2 → clamped to 0, 1
  mix.clockFrames(3, out);              // 0 and 1 due
  EXPECT_EQ(out, frames({1, 1}));
  mix.clockFrames(3, out);  // 2..4 due: the source brought nothing for them
  EXPECT_EQ(out, frames({1, 1, 0, 0, 0}));
  const std::vector<float> twos(2, 2.0f);
  mix.sourceFrames(1, twos.data(), 2);  // meant for 2 and 3: already gone
  mix.clockFrames(2, out);
  EXPECT_EQ(out, frames({1, 1, 0, 0, 0, 2, 2}));
  mix.sourceFrames(1, twos.data(), 2);  // on time again: straight after
  mix.clockFrames(2, out);
  EXPECT_EQ(out, frames({1, 1, 0, 0, 0, 2, 2, 2, 2}));
}

// Due where the frames are in, within the hold-back and the clock; placed
// exactly, a source loses what came too late.
TEST(TimelineMix, FramesAreDueWhereReadyAndExactSourcesLoseTheLatePart) {
  TimelineMix mix(4, 1 << 20, true);
  std::vector<float> out;
  mix.clockFrames(6, out, 1);   // 0 and 1: the hold-back
  mix.clockFrames(4, out, 99);  // 2..9: never past the clock
  const std::vector<float> ones(4, 1.0f);
  mix.sourceFrames(1, ones.data(), 4);  // rendered for 6..9: all late
  mix.sourceFrames(1, ones.data(), 2);
  mix.clockFrames(2, out, *mix.heldUntil(1));
  EXPECT_EQ(out, frames({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1}));
}

TEST(TimelineMix, EndedSourceIsMixedToItsLastFrameThenForgotten) {
  TimelineMix mix(0, 1 << 20);
  std::vector<float> out;
  mix.clockFrames(2, out);
  const std::vector<float> ones(3, 1.0f);
  mix.sourceFrames(4, ones.data(), 3);  // placed at 0, clamped to 2..4
  mix.endSource(4);
  EXPECT_EQ(mix.sourceCount(), 1u);
  mix.clockFrames(2, out);
  EXPECT_EQ(mix.sourceCount(), 1u) << "one frame still to come";
  mix.clockFrames(2, out);
  EXPECT_EQ(out, frames({0, 0, 1, 1, 1, 0}));
  EXPECT_EQ(mix.sourceCount(), 0u);
}

TEST(TimelineMix,
     StoppedClockBoundsWhatSourcesHoldAndTheyStartOverWhenItMoves) {
  // The clock stream died while two players' streams live on.
  TimelineMix mix(2, 100);
  std::vector<float> out;
  mix.clockFrames(10, out);  // 0..7 emitted
  const std::vector<float> piece(30, 1.0f);
  for (int i = 0; i < 1000; ++i) {
    mix.sourceFrames(1, piece.data(), piece.size());
    mix.sourceFrames(2, piece.data(), piece.size());
    ASSERT_LE(mix.heldFrames(), 2u * (100 + 30)) << "after " << i;
  }
  mix.clockFrames(30, out);  // 8..37 due: both there, from the first frame
  std::vector<float> expected(8, 0.0f);
  expected.resize(38, 2.0f);
  EXPECT_EQ(out, expected);
}

TEST(TimelineMix, LongRunKeepsOneOutputFramePerClockFrame) {
  // Sources arriving in uneven pieces never change the output's length:
  // the clock alone decides it, so nothing drifts.
  TimelineMix mix(480, 1 << 20);
  std::vector<float> out;
  const std::vector<float> piece(1000, 0.25f);
  int64_t clock = 0;
  for (int cycle = 0; cycle < 500; ++cycle) {
    mix.sourceFrames(1, piece.data(), size_t(200 + cycle % 7 * 100));
    mix.clockFrames(960, out);
    clock += 960;
  }
  EXPECT_EQ(int64_t(out.size()), clock - 480);
}

TEST(ExclusionGate, MonitorWhereNoLeftOutPlayerIsHeardWithinTheMargin) {
  ExclusionGate gate(2);
  std::vector<float> sum(20, 0.0f);
  sum[8] = 0.5f;                       // heard at 8: the mix from 6 to 10
  gate.frames(0, sum.data(), 20, 17);  // from 17 on not in yet: heard
  const std::vector<float> monitor(20, 1.0f), mix(20, 2.0f);
  std::vector<float> out(20);
  gate.pick(0, monitor.data(), mix.data(), 20, out.data());
  std::vector<float> expected(20, 1.0f);
  for (int t : {6, 7, 8, 9, 10, 15, 16, 17, 18, 19}) expected[size_t(t)] = 2;
  EXPECT_EQ(out, expected);
}

// The sink's monitor: kept sound plus the left-out sum `lag` frames later.
struct Sink {
  std::vector<float> clock, sum;
  Sink(int64_t lag, size_t frames) : clock(frames), sum(frames) {
    std::mt19937 noise(7);
    std::uniform_real_distribution<float> level(-0.3f, 0.3f);
    for (size_t t = 0; t < frames; ++t) {
      if (t >= 3000) sum[t] = level(noise);  // silence, then a sound
      clock[t] = 0.2f * std::sin(float(t) * 0.13f);
      if (int64_t(t) >= lag) clock[t] += sum[size_t(int64_t(t) - lag)];
    }
  }
};

TEST(Canceller, FindsTheLagAtTheOnsetAndLeavesTheKeptSoundExactly) {
  const Sink sink(37, 8000);
  Canceller canceller(100, 8000);
  canceller.clock(0, sink.clock.data(), 8000);
  canceller.excluded(0, sink.sum.data(), 8000, 8000);
  const std::vector<float> fallback(4000, 9.0f);
  std::vector<float> out(4000);
  canceller.cancel(4000, fallback.data(), 2000, out.data());  // verifies it
  // Then in the few frames a packet ends with, which match anything by
  // chance: judged, two such pieces running would drop the lag.
  for (size_t i = 2000; i < 4000; i += 4)
    canceller.cancel(int64_t(4000 + i), fallback.data(), 4, out.data() + i);
  ASSERT_TRUE(canceller.locked());
  for (size_t i = 2000; i < 4000; ++i)
    ASSERT_NEAR(out[i], 0.2f * std::sin(float(4000 + i) * 0.13f), 1e-6) << i;
}

TEST(Canceller, FallsBackWhereTheSumIsUnknownOrTheLagNoLongerHolds) {
  const Sink sink(37, 8000), moved(60, 8000);
  Canceller canceller(100, 8000);
  canceller.clock(0, sink.clock.data(), 4000);
  canceller.excluded(0, sink.sum.data(), 4000, 4000);
  // From here the sum is not in, and then its lag is another.
  canceller.clock(4000, moved.clock.data() + 4000, 4000);
  canceller.excluded(4000, sink.sum.data() + 4000, 4000, 5000);
  const std::vector<float> fallback(4000, 9.0f);
  std::vector<float> out(4000);
  canceller.cancel(4000, fallback.data(), 4000, out.data());
  EXPECT_EQ(out[1500], 9.0f) << "unknown sum";
  EXPECT_FALSE(canceller.locked()) << "a lag that leaves the sum in";
  EXPECT_EQ(out.back(), 9.0f);
}

}  // namespace
}  // namespace audio::pulse
