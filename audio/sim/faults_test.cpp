// Tests of the simulated platform's fault tools: failure rules that skip the
// first calls or hold a call, and the cycle count in the call log.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "audio/dispatch.h"
#include "audio/hardware.h"
#include "audio/sim/sim.h"
#include "testing/file_text.h"

namespace audio {
namespace {

using namespace std::chrono_literals;

Status readDefaultOutput(ObjectID* device) {
  *device = 12345;
  uint32_t size = sizeof *device;
  return getPropertyData(kSystemObject,
                         {kDefaultOutputDevice, kScopeGlobal, kElementMain}, 0,
                         nullptr, &size, device);
}

class SimulatedFaults : public ::testing::Test {
 protected:
  void TearDown() override { sim::loadWorld("{}"); }
};

TEST_F(SimulatedFaults, SkipLetsTheFirstMatchingCallsThrough) {
  sim::loadWorld(R"({"devices": [{"id": 50, "uid": "speakers"}],
    "failures": [{"op": "get", "selector": "dOut", "skip": 2, "status": -50}]})");
  ObjectID device;
  EXPECT_EQ(readDefaultOutput(&device), kNoError);
  EXPECT_EQ(device, 50u);
  EXPECT_EQ(readDefaultOutput(&device), kNoError);
  // Other selectors neither count nor fail.
  uint32_t size = 0;
  EXPECT_EQ(
      getPropertyDataSize(kSystemObject, {kProcessObjectList, kScopeGlobal, 0},
                          0, nullptr, &size),
      kNoError);
  for (int call = 3; call <= 5; ++call) {
    EXPECT_EQ(readDefaultOutput(&device), -50) << call;
    EXPECT_EQ(device, 12345u) << "untouched";
  }
  // A new world starts counting again.
  sim::loadWorld(R"({"failures": [{"op": "get", "selector": "dOut", "skip": 1,
    "status": 0, "noObject": true}]})");
  EXPECT_EQ(readDefaultOutput(&device), kNoError);
  EXPECT_EQ(device, 50u);
  EXPECT_EQ(readDefaultOutput(&device), kNoError);
  EXPECT_EQ(device, 12345u) << "status 0, data untouched";
}

TEST_F(SimulatedFaults, DelayHoldsTheCallerAndNothingElse) {
  sim::loadWorld(R"({"devices": [{"id": 50, "uid": "speakers"}],
    "failures": [{"op": "get", "selector": "livn", "delayMs": 1500, "status": 0},
                 {"op": "get", "selector": "nsrt", "delayMs": 200, "status": -7}]})");
  std::atomic<bool> done{false};
  Status heldStatus = -1;
  uint32_t alive = 0;
  const auto start = std::chrono::steady_clock::now();
  std::thread held([&] {
    uint32_t size = sizeof alive;
    heldStatus = getPropertyData(50, {kDeviceIsAlive, kScopeGlobal, 0}, 0,
                                 nullptr, &size, &alive);
    done = true;
  });
  // Wait until the held call is surely inside its delay (the platform lock
  // it waits without is then free), then read around it.
  std::this_thread::sleep_for(100ms);
  ObjectID device;
  EXPECT_EQ(readDefaultOutput(&device), kNoError);
  EXPECT_EQ(device, 50u);
  EXPECT_FALSE(done) << "the delayed call came back early";
  held.join();
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1500ms);
  EXPECT_EQ(heldStatus, kNoError) << "a status-0 delay lets the call go on";
  EXPECT_EQ(alive, 1u);

  // A delay on a failing rule fails after the wait.
  double rate = 0;
  uint32_t size = sizeof rate;
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(getPropertyData(50, {kDeviceNominalSampleRate, kScopeGlobal, 0}, 0,
                            nullptr, &size, &rate),
            -7);
  EXPECT_GE(std::chrono::steady_clock::now() - before, 200ms);
}

TEST_F(SimulatedFaults, WorldsCheckTheNewRuleKeys) {
  EXPECT_FALSE(sim::worldError(R"({"logCycles": true, "failures": [
    {"op": "stop", "skip": 3, "delayMs": 600000}]})"));
  EXPECT_EQ(sim::worldError(R"({"failures": [{"op": "stop", "skip": -1}]})"),
            "failures[0].skip: expected an integer from 0 to 4294967295");
  EXPECT_EQ(
      sim::worldError(R"({"failures": [{"op": "stop", "delayMs": 600001}]})"),
      "failures[0].delayMs: expected an integer from 0 to 600000");
  EXPECT_EQ(sim::worldError(R"({"logCycles": 1})"),
            "logCycles: expected true or false");
}

TEST_F(SimulatedFaults, CallLogCountsTheCyclesEachStopEnded) {
  const std::string log = ::testing::TempDir() + "sim_cycles_calls.log";
  std::remove(log.c_str());
  sim::loadWorld(R"({"callLog": ")" + log + R"(", "logCycles": true,
    "devices": [{"id": 50, "uid": "speakers"}], "ioBufferFrames": 64, "speed": 20})");
  static std::atomic<int> cycles;
  cycles = 0;
  IOProcID proc = nullptr;
  ASSERT_EQ(createIOProcIDWithBlock(
                &proc, 50, createSerialQueue("cycles"),
                [](void*, const BufferList*) { ++cycles; }, nullptr),
            kNoError);
  std::string expected = "createIOProcID 50\n";
  for (int run = 0; run < 2; ++run) {
    const int before = cycles;
    ASSERT_EQ(deviceStart(50, proc), kNoError);
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (cycles < before + 5 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(deviceStop(50, proc), kNoError);
    expected += "deviceStart 50\ncycles 50 " + std::to_string(cycles - before) +
                "\ndeviceStop 50\n";
  }
  // Stopping a stopped proc ends no cycles and logs no count.
  ASSERT_EQ(deviceStop(50, proc), kNoError);
  ASSERT_EQ(destroyIOProcID(50, proc), kNoError);
  expected += "deviceStop 50\ndestroyIOProcID 50\n";
  EXPECT_EQ(testfile::text(log), expected);
}

}  // namespace
}  // namespace audio
