// PipeWire's graph feed: which links the capture's stream needs, the
// left-out players taken out of the monitor at a lag of whole cycles, and
// the switch between the graph's stream and the service's.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "audio/linux/cycle_subtraction.h"
#include "audio/linux/feed_switch.h"
#include "audio/linux/graph_links.h"

namespace audio::pulse {
namespace {

// Nodes: 1 the speakers, 2 the headset, 9 our stream; players from 20.
struct Graph {
  GraphNodes nodes{1, 9, {1, 2}, {}};
  std::map<uint32_t, GraphPort> ports{
      {10, {1, true, "FL"}},  {11, {1, true, "FR"}},  // the monitor
      {12, {1, false, "FL"}},                         // a playback port
      {90, {9, false, "FL"}}, {91, {9, false, "FR"}}, {92, {9, false, "RL"}},
      {93, {9, false, "RR"}}, {94, {9, true, "FL"}}};  // our own monitor port
  std::map<uint32_t, GraphLink> links;
  void player(uint32_t node, std::vector<std::string> channels) {
    for (const std::string& channel : channels)
      ports[node * 10 + uint32_t(ports.size())] = {node, true, channel};
  }
  auto wanted() const { return wantedLinks(nodes, ports, links); }
};

using Pairs = std::set<std::pair<uint32_t, uint32_t>>;

TEST(GraphLinks, MonitorToTheFrontPairLeftOutPlayersToTheRear) {
  Graph graph;
  EXPECT_EQ(graph.wanted(), (Pairs{{10, 90}, {11, 91}}));
  graph.player(20, {"FL", "FR"});  // kept: never linked
  graph.player(30, {"MONO"});      // left out, not on any sink yet
  graph.nodes.leftOut = {30};
  const auto ports = graph.ports;
  const uint32_t mono = std::prev(ports.end())->first;
  EXPECT_EQ(graph.wanted(),
            (Pairs{{10, 90}, {11, 91}, {mono, 92}, {mono, 93}}));
  graph.links[1] = {30, 1};  // on the speakers: still
  EXPECT_EQ(graph.wanted().size(), 4u);
  graph.links[1] = {30, 2};  // on the headset only: not in our monitor
  EXPECT_EQ(graph.wanted(), (Pairs{{10, 90}, {11, 91}}));
}

TEST(GraphLinks, MonoSinkFeedsBothFrontPortsAndSurroundChannelsNone) {
  Graph graph;
  graph.ports = {
      {10, {1, true, "MONO"}}, {90, {9, false, "FL"}}, {91, {9, false, "FR"}}};
  EXPECT_EQ(graph.wanted(), (Pairs{{10, 90}, {10, 91}}));
  graph.ports[11] = {1, true, "LFE"};
  EXPECT_EQ(graph.wanted().size(), 2u);
}

// The sink's monitor: kept sound plus the left-out sum `lag` frames later.
struct Monitor {
  std::vector<float> clock, sum;
  Monitor(size_t lag, size_t frames, bool tone = false, size_t end = SIZE_MAX,
          size_t start = 3000)
      : clock(frames), sum(frames) {
    std::mt19937 noise(7);
    std::uniform_real_distribution<float> level(-0.3f, 0.3f);
    for (size_t t = 0; t < frames; ++t) {
      // Silence, then a sound to `end`: noise, or a tone of 16 frames a period.
      if (t >= start && t < end)
        sum[t] = tone ? 0.3f * std::sin(float(t) * 0.392699f) : level(noise);
      clock[t] = kept(t);
      if (t >= lag) clock[t] += 0.5f * sum[t - lag];
    }
  }
  static float kept(size_t t) { return 0.2f * std::sin(float(t) * 0.13f); }
  // Through a subtraction in cycles of `cycle` frames at gain 0.5; the one
  // at `missed` never comes (its output stays 0).
  std::vector<float> through(CycleSubtraction& subtraction, size_t cycle,
                             size_t missed = SIZE_MAX) {
    std::vector<float> out(clock.size());
    for (size_t at = 0; at + cycle <= clock.size(); at += cycle) {
      if (at == missed) {
        subtraction.skip(cycle);
        continue;
      }
      subtraction.cycle(clock.data() + at, sum.data() + at, cycle, 0.5f,
                        out.data() + at);
    }
    return out;
  }
};

TEST(CycleSubtraction, FitsTheLagInCyclesAtOnceAndLeavesTheKeptSoundExactly) {
  for (size_t lag : {0, 1, 2, 3}) {
    // With 3 it ends at 5000: its tail taken out, then silence as it is.
    // With 2 it ends at 5120 and the feed misses the cycle there, as when
    // the player's links go: what follows is not taken out against the
    // cycle before the hole.
    // With 0 it starts 2 frames before a cycle's end: the first fit looks
    // at every frame, so it is taken out from its first one.
    Monitor monitor(256 * lag, 12288, false,
                    lag == 3   ? 5000
                    : lag == 2 ? 5120
                               : SIZE_MAX,
                    lag == 0 ? 3070 : 3000);
    CycleSubtraction subtraction;
    const size_t missed = lag == 2 ? 5120 : SIZE_MAX;
    const std::vector<float> out = monitor.through(subtraction, 256, missed);
    EXPECT_EQ(subtraction.lag(), lag);
    // The left-out sound starts at 3000: in the monitor from 3000 + lag.
    for (size_t t = 0; t < out.size(); ++t) {
      if (t - missed < 256) continue;
      ASSERT_NEAR(out[t], Monitor::kept(t), 1e-6) << lag << " cycles, " << t;
    }
  }
}

TEST(CycleSubtraction, LagsThatFitAlikeLeaveTheFittedOneBe) {
  // A tone of 16 frames a period fits every lag of 192-frame cycles once
  // it runs; only its onset tells them apart.
  Monitor monitor(192, 9600, true);
  CycleSubtraction subtraction;
  const std::vector<float> out = monitor.through(subtraction, 192);
  EXPECT_EQ(subtraction.lag(), 1u);
  for (size_t t = 4000; t < out.size(); ++t)
    ASSERT_NEAR(out[t], Monitor::kept(t), 1e-5) << t;
}

TEST(CycleSubtraction, ALagThatChangesIsTakenOverByTheFramesLaterFitsLookAt) {
  // Fitted at one cycle, the sink then runs a cycle later (noise: no lag
  // fits alike). Later fits look at every 4th frame only: they see it too.
  Monitor monitor(256, 12288);
  for (size_t t = 6144; t < monitor.clock.size(); ++t)
    monitor.clock[t] = Monitor::kept(t) + 0.5f * monitor.sum[t - 512];
  CycleSubtraction subtraction;
  const std::vector<float> out = monitor.through(subtraction, 256);
  EXPECT_EQ(subtraction.lag(), 2u);
  for (size_t t = 6144 + 3 * 256; t < out.size(); ++t)
    ASSERT_NEAR(out[t], Monitor::kept(t), 1e-6) << t;
}

// One monitor seen twice: the graph's 1024-frame cycles as rendered, while
// they run, its output marked +10; the clock's 1920-frame packets `late`
// frames after. Returns what the switch gave.
std::vector<float> switched(const std::vector<float>& monitor,
                            std::vector<std::pair<size_t, size_t>> runs,
                            size_t late) {
  std::vector<float> output;
  FeedSwitch feed(
      48000,
      [](void* to, const float* frames, size_t count) {
        auto* out = static_cast<std::vector<float>*>(to);
        out->insert(out->end(), frames, frames + count);
      },
      &output);
  const auto us = [](size_t frames) { return int64_t(frames) * 1000 / 48; };
  std::vector<float> marked(1024);
  size_t sent = 0;
  for (size_t at = 0; at + 1024 <= monitor.size(); at += 1024) {
    bool runsNow = false;
    for (auto [from, to] : runs) runsNow |= at >= from && at < to;
    if (runsNow) {
      for (size_t i = 0; i < 1024; ++i) marked[i] = monitor[at + i] + 10.0f;
      feed.graphFrames(monitor.data() + at, marked.data(), 1024, us(at + 1024));
    }
    for (; sent + 1920 + late <= at + 1024 && sent + 1920 <= monitor.size();
         sent += 1920) {
      feed.clockFrames(monitor.data() + sent, 1920, us(sent + 1920 + late),
                       runsNow);
    }
  }
  return output;
}

// Which frames of the output are the graph's, as [from, to) runs; every
// frame must be the monitor's own, once.
std::vector<std::pair<size_t, size_t>> graphRuns(
    const std::vector<float>& monitor, const std::vector<float>& out) {
  EXPECT_GE(out.size() + 2 * 1920, monitor.size());
  EXPECT_LE(out.size(), monitor.size());
  std::vector<std::pair<size_t, size_t>> marked;
  for (size_t t = 0; t < out.size(); ++t) {
    const bool graph = out[t] > 5.0f;
    EXPECT_NEAR(out[t] - (graph ? 10.0f : 0.0f), monitor[t], 1e-6) << t;
    if (graph && (marked.empty() || marked.back().second != t))
      marked.emplace_back(t, t);
    if (graph) ++marked.back().second;
  }
  return marked;
}

TEST(FeedSwitch, EveryFrameOnceFromTheGraphWhileItRunsAndTheClockElsewhere) {
  // Noise, then a tone of 64 frames a period: it matches every period, and
  // the clock's lateness learnt at the first switch picks the right one.
  std::mt19937 noise(3);
  std::uniform_real_distribution<float> level(-0.3f, 0.3f);
  std::vector<float> monitor(204800);
  for (size_t t = 0; t < monitor.size(); ++t) {
    monitor[t] =
        t < 102400 ? level(noise) : 0.3f * std::cos(float(t % 64) * 0.0981748f);
  }
  EXPECT_EQ(
      graphRuns(monitor,
                switched(monitor, {{20480, 61440}, {122880, 163840}}, 700)),
      (std::vector<std::pair<size_t, size_t>>{{20480, 61440},
                                              {122880, 163840}}));
  // Silence first, the graph running before the clock's first frames: its
  // quiet cycles switch nothing, its frames go out from its first loud one.
  std::fill(monitor.begin(), monitor.begin() + 30720, 0.0f);
  monitor.resize(61440);
  EXPECT_EQ(graphRuns(monitor, switched(monitor, {{0, 51200}}, 3000)),
            (std::vector<std::pair<size_t, size_t>>{{30720, 51200}}));
}

}  // namespace
}  // namespace audio::pulse
