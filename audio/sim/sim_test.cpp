// Tests of what only the simulated platform does: reading worlds, process
// objects, failure rules, the script, the call log, stream layout and mixing.
#include "audio/sim/sim.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "audio/dispatch.h"
#include "audio/hardware.h"
#include "audio/process_info.h"
#include "testing/file_text.h"

namespace audio {
namespace {

using namespace std::chrono_literals;

template <class T>
Status read(ObjectID object, Selector selector, T* out,
            Scope scope = kScopeGlobal) {
  uint32_t size = sizeof(T);
  return getPropertyData(object, {selector, scope, kElementMain}, 0, nullptr,
                         &size, out);
}

// The string property, released at once; "<null>" for a null reference.
std::optional<std::string> readText(ObjectID object, Selector selector) {
  StringRef string = nullptr;
  if (read(object, selector, &string) != kNoError) return std::nullopt;
  if (!string) return "<null>";
  std::optional<std::string> text = stringValue(string);
  releaseString(string);
  return text;
}

std::vector<ObjectID> processList() {
  uint32_t size = 0;
  const PropertyAddress address{kProcessObjectList, kScopeGlobal, kElementMain};
  if (getPropertyDataSize(kSystemObject, address, 0, nullptr, &size) !=
      kNoError)
    return {};
  std::vector<ObjectID> ids(size / 4);
  if (getPropertyData(kSystemObject, address, 0, nullptr, &size, ids.data()) !=
      kNoError)
    return {};
  return ids;
}

ObjectID pidToObject(int32_t pid) {
  ObjectID object = 12345;
  uint32_t size = sizeof object;
  Status status = getPropertyData(
      kSystemObject, {kTranslatePIDToProcessObject, kScopeGlobal, 0},
      sizeof pid, &pid, &size, &object);
  return status == kNoError ? object : 12345;
}

class Simulated : public ::testing::Test {
 protected:
  void SetUp() override { runMainQueueUntilIdleAfter("{}"); }
  void TearDown() override {
    sim::loadWorld("{}");
    EXPECT_EQ(sim::liveStringCount(), 0);
  }
  static void runMainQueueUntilIdleAfter(const std::string& world) {
    sim::loadWorld(world);
    sim::runMainQueueUntilIdle();
  }
};

TEST_F(Simulated, DefaultMachineHasOneQuietOutputDevice) {
  EXPECT_TRUE(processList().empty());
  ObjectID device = 0;
  ASSERT_EQ(read(kSystemObject, kDefaultOutputDevice, &device), kNoError);
  EXPECT_EQ(readText(device, kDeviceUID), "nimbrel-sim-speakers");
  double rate = 0;
  EXPECT_EQ(read(device, kDeviceNominalSampleRate, &rate), kNoError);
  EXPECT_EQ(rate, 48000);
  uint32_t size = 0;
  EXPECT_EQ(
      getPropertyDataSize(device, {kDeviceStreamConfiguration, kScopeInput, 0},
                          0, nullptr, &size),
      kNoError);
  EXPECT_EQ(size, sizeof(BufferList));
}

TEST_F(Simulated, ProcessObjectsAnswerFromTheWorld) {
  sim::loadWorld(R"({"processes": [
    {"object": 101, "pid": 4242, "bundleID": "org.example.talker", "input": true, "output": true},
    {"object": 102, "pid": 5150, "bundleID": "", "output": true},
    {"object": 110, "pid": 6000, "bundleID": null, "input": true,
     "failures": {"ppid": 0, "piri": -50, "pbid": 7}},
    {"pid": 7000}]})");
  EXPECT_EQ(processList(), (std::vector<ObjectID>{101, 102, 110, 103}));
  struct Row {
    ObjectID object;
    Status pidStatus;
    int32_t pid;
    Status inputStatus;
    uint32_t input;
    uint32_t output;
    std::optional<std::string> bundleID;
  };
  const Row rows[] = {
      {101, kNoError, 4242, kNoError, 1, 1, "org.example.talker"},
      {102, kNoError, 5150, kNoError, 0, 1, ""},
      {110, kNoError, 6000, -50, 0, 0,
       std::nullopt},  // failed reads leave the data
      {103, kNoError, 7000, kNoError, 0, 0, "<null>"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.object);
    int32_t pid = -1;
    uint32_t input = 0, output = 0;
    EXPECT_EQ(read(row.object, kProcessPID, &pid), row.pidStatus);
    EXPECT_EQ(pid, row.pid);
    EXPECT_EQ(read(row.object, kProcessIsRunningInput, &input),
              row.inputStatus);
    EXPECT_EQ(input, row.input);
    EXPECT_EQ(read(row.object, kProcessIsRunningOutput, &output), kNoError);
    EXPECT_EQ(output, row.output);
    EXPECT_EQ(readText(row.object, kProcessBundleID), row.bundleID);
  }
  EXPECT_EQ(readText(102, kProcessBundleID), "");
  EXPECT_EQ(readText(110, kProcessBundleID), std::nullopt);
  StringRef untouched = reinterpret_cast<StringRef>(uintptr_t(0x10));
  EXPECT_EQ(read(110, kProcessBundleID, &untouched), 7);
  EXPECT_EQ(untouched, reinterpret_cast<StringRef>(uintptr_t(0x10)));
}

TEST_F(Simulated, PropertyReadStatuses) {
  sim::loadWorld(R"({"processes": [{"object": 101, "pid": 4242}]})");
  uint32_t value = 0;
  uint64_t wide = 0;
  uint16_t narrow = 0;
  EXPECT_EQ(read(kUnknownObject, kProcessPID, &value), kBadObject);
  EXPECT_EQ(read(555, kProcessPID, &value), kBadObject);
  EXPECT_EQ(read(101, kDeviceNominalSampleRate, &value), kUnknownProperty);
  EXPECT_EQ(read(101, kProcessPID, &value, kScopeInput), kUnknownProperty);
  EXPECT_EQ(read(101, kProcessPID, &narrow), kBadPropertySize);
  EXPECT_EQ(read(101, kProcessPID, &wide), kNoError);  // larger is fine
  uint32_t size = 99;
  EXPECT_EQ(getPropertyDataSize(101, {kProcessPID, kScopeGlobal, 0}, 0, nullptr,
                                &size),
            kNoError);
  EXPECT_EQ(size, 4u);

  struct Qualified {
    Selector selector;
    uint32_t qualifierSize;
    const void* qualifier;
    Status status;
  };
  const int32_t pid = 4242;
  const StringRef none = nullptr;
  const Qualified rows[] = {
      {kTranslatePIDToProcessObject, 0, nullptr, kBadPropertySize},
      {kTranslatePIDToProcessObject, 8, &pid, kBadPropertySize},
      {kTranslateUIDToDevice, 4, &pid, kBadPropertySize},
      {kTranslateUIDToDevice, 8, &none, kIllegalOperation},
  };
  for (const Qualified& row : rows) {
    ObjectID object = 77;
    uint32_t objectSize = sizeof object;
    EXPECT_EQ(
        getPropertyData(kSystemObject, {row.selector, kScopeGlobal, 0},
                        row.qualifierSize, row.qualifier, &objectSize, &object),
        row.status);
    EXPECT_EQ(object, 77u);
  }
}

TEST_F(Simulated, ShortProcessListReadFillsWhatFits) {
  sim::loadWorld(
      R"({"processes": [{"object": 101}, {"object": 102}, {"object": 103}]})");
  ObjectID ids[3] = {0, 0, 0};
  uint32_t size = 9;
  ASSERT_EQ(
      getPropertyData(kSystemObject, {kProcessObjectList, kScopeGlobal, 0}, 0,
                      nullptr, &size, ids),
      kNoError);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(ids[0], 101u);
  EXPECT_EQ(ids[1], 102u);
  EXPECT_EQ(ids[2], 0u);
}

TEST_F(Simulated, SelfIsListedOnlyWhenGivenButAlwaysTranslates) {
  const int32_t self = int32_t(getpid());
  sim::loadWorld(R"({"processes": [{"object": 101, "pid": 4242}]})");
  EXPECT_EQ(processList(), std::vector<ObjectID>{101});
  EXPECT_EQ(pidToObject(self), 900u);
  EXPECT_EQ(pidToObject(4242), 101u);
  EXPECT_EQ(pidToObject(31337), kUnknownObject);
  sim::loadWorld(
      R"({"self": {"object": 950, "input": true}, "processes": [{"object": 101}]})");
  EXPECT_EQ(processList(), (std::vector<ObjectID>{101, 950}));
  EXPECT_EQ(pidToObject(self), 950u);
  int32_t pid = 0;
  uint32_t input = 0;
  EXPECT_EQ(read(950, kProcessPID, &pid), kNoError);
  EXPECT_EQ(pid, self);
  EXPECT_EQ(read(950, kProcessIsRunningInput, &input), kNoError);
  EXPECT_EQ(input, 1u);
}

TEST_F(Simulated, RunningApplicationAndPath) {
  sim::loadWorld(R"({"processes": [
    {"pid": 10, "app": {"name": "Talker"}, "path": "/Applications/Talker.app/Contents/MacOS/Talker"},
    {"pid": 11, "app": {}, "pathHex": "2f746d702f6ee9"},
    {"pid": 12}]})");
  EXPECT_EQ(runningApplicationName(10), "Talker");
  EXPECT_EQ(runningApplicationName(11), std::nullopt);
  EXPECT_EQ(runningApplicationName(12), std::nullopt);
  EXPECT_EQ(runningApplicationName(13), std::nullopt);
  struct Row {
    int32_t pid;
    uint32_t bufferSize;
    int result;
    const char* path;
  };
  const Row rows[] = {
      {10, 4096, 46, "/Applications/Talker.app/Contents/MacOS/Talker"},
      {11, 4096, 7, "/tmp/n\xe9"},
      {12, 4096, 0, ""},
      {13, 4096, 0, ""},
      {10, 1024, 46, "/Applications/Talker.app/Contents/MacOS/Talker"},
      {10, 1023, 0, ""},  // below PROC_PIDPATHINFO_SIZE
      {10, 4097, 0, ""},  // above PROC_PIDPATHINFO_MAXSIZE
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.pid);
    std::vector<char> buffer(row.bufferSize + 1, 'x');
    EXPECT_EQ(processPath(row.pid, buffer.data(), row.bufferSize), row.result);
    if (row.result > 0) {
      EXPECT_STREQ(buffer.data(), row.path);
    }
  }
}

TEST_F(Simulated, WorldErrorsNameTheFault) {
  struct Row {
    const char* json;
    const char* error;
  };
  const Row rows[] = {
      {"[", "world: not valid JSON"},
      {R"({"proceses": []})", "world: unknown key \"proceses\""},
      {R"({"processes": [{"pid": "1"}]})",
       "processes[0].pid: expected an integer"},
      {R"({"processes": [{"object": 101}, {"object": 101}]})",
       "processes: process object 101"},
      {R"({"processes": [{"failures": {"pid": -50}}]})",
       "processes[0].failures.pid: expected a four"},
      {R"({"processes": [{"signal": {"kind": "sine"}}]})",
       "processes[0].signal.kind"},
      {R"({"processes": [{"signal": {"kind": "ramp", "step": 1}}]})",
       "missing \"period\""},
      {R"({"processes": [{"signal": {"kind": "constant", "period": 3}}]})",
       "unknown key \"period\""},
      {R"({"processes": [{"path": "/a", "pathHex": "2f"}]})", "not both"},
      {R"({"devices": [{"uid": "a"}, {"uid": "a"}]})",
       "devices: uid \"a\" is used twice"},
      {R"({"tap": {"buffers": [1], "gains": [1, 2]}})",
       "tap.gains: more gains than channels"},
      {R"({"speed": 0})", "speed"},
      {R"({"failures": [{"op": "read"}]})",
       "failures[0].op: unknown operation \"read\""},
      {R"({"script": [{"processes": []}]})", "script[0]: needs exactly one of"},
      {R"({"script": [{"atMs": 1, "atCycle": 2}]})",
       "script[0]: needs exactly one of"},
      {R"({"script": [{"atMs": 1, "deviceRate": {"uid": "x", "rate": 1}}]})",
       "unknown device \"x\""},
      {R"({"tapAutoStart": "blocks"})", "tapAutoStart: expected"},
      {R"({"listenerOrder": "random"})", "listenerOrder: expected"},
      {R"({"notificationsNeedRunLoop": 1})", "notificationsNeedRunLoop"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.json);
    std::optional<std::string> error = sim::worldError(row.json);
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->find(row.error), std::string::npos) << *error;
  }
  EXPECT_EQ(sim::worldError(
                R"({"script": [{"atMs": 1, "defaultOutput": "headset"}]})"),
            std::nullopt);
}

TEST(SimulatedDeathTest, BadWorldExitsWithStatus70) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(sim::loadWorld(R"({"bogus": 1})"), ::testing::ExitedWithCode(70),
              "nimbrel-sim: bad world: world: unknown key \"bogus\"");
}

TEST(SimulatedDeathTest, ReleasingNullOrTwiceStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(releaseString(nullptr), "null reference");
  EXPECT_DEATH(
      {
        StringRef string = createString("x");
        releaseString(string);
        releaseString(string);
      },
      "released twice");
  // Released references are reused only after many others, so a late use is
  // still caught after a burst of reads.
  EXPECT_DEATH(
      {
        StringRef string = createString("x");
        releaseString(string);
        for (int k = 0; k < 200; ++k) releaseString(createString("y"));
        stringValue(string);
      },
      "used after its release");
}

TEST_F(Simulated, StringReferencesAreCounted) {
  StringRef a = createString("a");
  StringRef b = createString("\xc3\xa9t\xc3\xa9");
  EXPECT_EQ(sim::liveStringCount(), 2);
  EXPECT_EQ(stringValue(b), "\xc3\xa9t\xc3\xa9");
  EXPECT_EQ(stringValue(nullptr), std::nullopt);
  releaseString(a);
  releaseString(b);
  EXPECT_EQ(sim::liveStringCount(), 0);
}

TEST_F(Simulated, ListReadScriptReplacesProcessesAndIsLogged) {
  std::string log = ::testing::TempDir() + "sim_list_calls.log";
  std::remove(log.c_str());
  sim::loadWorld(R"({"callLog": ")" + log + R"(",
    "processes": [{"object": 101}, {"object": 102}],
    "script": [{"onListRead": 3, "processes": [{"object": 103}]}]})");
  EXPECT_EQ(processList().size(), 2u);
  EXPECT_EQ(processList().size(), 2u);
  EXPECT_EQ(processList(), std::vector<ObjectID>{103});
  int32_t pid = 0;
  EXPECT_EQ(read(101, kProcessPID, &pid), kBadObject);  // gone with the list
  EXPECT_EQ(testfile::text(log), "processList\nprocessList\nprocessList\n");
}

TEST_F(Simulated, FailureRulesMatchOperationSelectorAndObject) {
  sim::loadWorld(
      R"({"processes": [{"object": 101, "pid": 1}, {"object": 102, "pid": 2}],
    "failures": [
      {"op": "get", "selector": "ppid", "object": 102, "status": -50},
      {"op": "getSize", "selector": "prs#", "status": 2003332927},
      {"op": "get", "selector": "piro", "status": 0},
      {"op": "createProcessTap", "status": 0, "noObject": true}]})");
  int32_t pid = 0;
  uint32_t flag = 0;
  EXPECT_EQ(read(101, kProcessPID, &pid), kNoError);
  EXPECT_EQ(read(102, kProcessPID, &pid), -50);
  EXPECT_EQ(read(102, kProcessIsRunningOutput, &flag),
            kNoError);  // status 0 is no failure
  uint32_t size = 0;
  EXPECT_EQ(
      getPropertyDataSize(kSystemObject, {kProcessObjectList, kScopeGlobal, 0},
                          0, nullptr, &size),
      2003332927);
  ObjectID tap = 77;
  EXPECT_EQ(createProcessTap(TapDescription{}, &tap), kNoError);
  EXPECT_EQ(tap, kUnknownObject);
}

Dictionary aggregateDescription(const std::string& uid, const std::string& main,
                                const std::string& tapUID) {
  Dictionary sub{{{"uid", Value{main}}}};
  Dictionary tap{{{"uid", Value{tapUID}}, {"drift", Value{true}}}};
  return Dictionary{{{"name", Value{std::string("Nimbrel Capture")}},
                     {"uid", Value{uid}},
                     {"master", Value{main}},
                     {"private", Value{true}},
                     {"stacked", Value{false}},
                     {"tapautostart", Value{true}},
                     {"subdevices", Value{std::vector<Dictionary>{sub}}},
                     {"taps", Value{std::vector<Dictionary>{tap}}}}};
}

struct Chain {
  ObjectID tap = 0;
  ObjectID aggregate = 0;
};

Chain makeChain(std::vector<ObjectID> excluded = {}) {
  Chain chain;
  TapDescription description;
  description.excludedProcesses = std::move(excluded);
  EXPECT_EQ(createProcessTap(description, &chain.tap), kNoError);
  std::optional<std::string> tapUID = readText(chain.tap, kTapUID);
  EXPECT_TRUE(tapUID.has_value());
  EXPECT_EQ(createAggregateDevice(
                aggregateDescription("agg-1", "speakers", tapUID.value_or("")),
                &chain.aggregate),
            kNoError);
  return chain;
}

TEST_F(Simulated, AggregateDescriptionIsCheckedStrictly) {
  sim::loadWorld(
      R"({"devices": [{"id": 50, "uid": "speakers"}, {"id": 51, "uid": "mic"}]})");
  ObjectID tap = 0;
  ASSERT_EQ(createProcessTap(TapDescription{}, &tap), kNoError);
  std::string tapUID = readText(tap, kTapUID).value_or("");
  auto without = [&](const char* key) {
    Dictionary d = aggregateDescription("agg", "speakers", tapUID);
    std::erase_if(d.entries, [&](const auto& e) { return e.first == key; });
    return d;
  };
  auto with = [&](const char* key, Value value) {
    Dictionary d = aggregateDescription("agg", "speakers", tapUID);
    for (auto& e : d.entries) {
      if (e.first == key) e.second = std::move(value);
    }
    return d;
  };
  Dictionary extra = aggregateDescription("agg", "speakers", tapUID);
  extra.entries.push_back({"clock", Value{std::string("x")}});
  Dictionary noDrift = aggregateDescription("agg", "speakers", tapUID);
  std::get<std::vector<Dictionary>>(noDrift.entries[7].second.v)[0]
      .entries[1]
      .second = Value{false};
  const std::pair<const char*, Dictionary> rejected[] = {
      {"missing name", without("name")},
      {"missing taps", without("taps")},
      {"extra key", extra},
      {"private as a string", with("private", Value{std::string("1")})},
      {"uid as a boolean", with("uid", Value{true})},
      {"main device not a sub-device",
       with("master", Value{std::string("mic")})},
      {"unknown main device", aggregateDescription("agg", "headset", tapUID)},
      {"unknown tap",
       aggregateDescription("agg", "speakers", "nimbrel-sim-tap-999")},
      {"drift off", noDrift},
      {"UID of an existing device",
       aggregateDescription("mic", "speakers", tapUID)},
  };
  for (const auto& [why, description] : rejected) {
    SCOPED_TRACE(why);
    ObjectID device = 0;
    EXPECT_EQ(createAggregateDevice(description, &device), kIllegalOperation);
    EXPECT_EQ(device, kUnknownObject);
  }
  ObjectID first = 0, second = 0;
  EXPECT_EQ(createAggregateDevice(
                aggregateDescription("agg", "speakers", tapUID), &first),
            kNoError);
  EXPECT_NE(first, kUnknownObject);
  EXPECT_EQ(createAggregateDevice(
                aggregateDescription("agg", "speakers", tapUID), &second),
            kIllegalOperation);
}

TEST_F(Simulated, StreamConfigurationShape) {
  sim::loadWorld(R"({"devices": [
      {"id": 50, "uid": "speakers", "inputStreams": [2, 2]},
      {"id": 51, "uid": "liar", "inputStreams": [1], "reportedBufferCount": 9}],
    "defaultOutput": "speakers", "ioBufferFrames": 256,
    "tap": {"rate": 44100, "float": false, "buffers": [1, 2]}})");
  struct Row {
    ObjectID device;
    uint32_t size;
    uint32_t count;
  };
  Chain chain = makeChain();
  const Row rows[] = {
      {50, 8 + 2 * 16, 2}, {51, 24, 9}, {chain.aggregate, 8 + 4 * 16, 4}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.device);
    const PropertyAddress address{kDeviceStreamConfiguration, kScopeInput, 0};
    uint32_t size = 0;
    ASSERT_EQ(getPropertyDataSize(row.device, address, 0, nullptr, &size),
              kNoError);
    EXPECT_EQ(size, row.size);
    std::vector<uint8_t> bytes(size);
    uint32_t small = size - 1;
    EXPECT_EQ(
        getPropertyData(row.device, address, 0, nullptr, &small, bytes.data()),
        kBadPropertySize);
    ASSERT_EQ(
        getPropertyData(row.device, address, 0, nullptr, &size, bytes.data()),
        kNoError);
    BufferList list;
    std::memcpy(&list, bytes.data(), sizeof list);
    EXPECT_EQ(list.numberBuffers, row.count);
  }
  uint8_t bytes[8 + 4 * 16];
  uint32_t size = sizeof bytes;
  ASSERT_EQ(getPropertyData(chain.aggregate,
                            {kDeviceStreamConfiguration, kScopeInput, 0}, 0,
                            nullptr, &size, bytes),
            kNoError);
  const uint32_t expected[4][2] = {
      {2, 256 * 2 * 4}, {2, 256 * 2 * 4}, {1, 256 * 2}, {2, 256 * 2 * 2}};
  for (int i = 0; i < 4; ++i) {
    Buffer buffer;
    std::memcpy(&buffer, bytes + 8 + 16 * i, sizeof buffer);
    EXPECT_EQ(buffer.numberChannels, expected[i][0]);
    EXPECT_EQ(buffer.dataByteSize, expected[i][1]);
    EXPECT_EQ(buffer.data, nullptr);
  }
  StreamBasicDescription format{};
  ASSERT_EQ(read(chain.tap, kTapFormat, &format), kNoError);
  EXPECT_EQ(format.sampleRate, 44100);
  EXPECT_EQ(format.formatFlags & kFormatFlagIsFloat, 0u);
  EXPECT_EQ(format.channelsPerFrame, 3u);
  EXPECT_EQ(format.bitsPerChannel, 16u);
}

// Collects the tap's buffers of every cycle delivered.
struct Capture {
  bool isFloat = true;
  size_t firstTapBuffer = 0;
  std::mutex mutex;
  std::vector<std::vector<float>> floatBuffers;
  std::vector<std::vector<int16_t>> int16Buffers;
  int cycles = 0;

  static void onCycle(void* context, const BufferList* input) {
    auto* capture = static_cast<Capture*>(context);
    std::lock_guard lock(capture->mutex);
    ++capture->cycles;
    size_t count = input->numberBuffers - capture->firstTapBuffer;
    capture->floatBuffers.resize(count);
    capture->int16Buffers.resize(count);
    for (size_t k = 0; k < count; ++k) {
      const Buffer& b = input->buffers[capture->firstTapBuffer + k];
      if (capture->isFloat) {
        auto* samples = static_cast<const float*>(b.data);
        capture->floatBuffers[k].insert(capture->floatBuffers[k].end(), samples,
                                        samples + b.dataByteSize / 4);
      } else {
        auto* samples = static_cast<const int16_t*>(b.data);
        capture->int16Buffers[k].insert(capture->int16Buffers[k].end(), samples,
                                        samples + b.dataByteSize / 2);
      }
    }
  }

  int count() {
    std::lock_guard lock(mutex);
    return cycles;
  }
};

void runCycles(ObjectID device, Capture& capture, int cycles) {
  DispatchQueue* queue = createSerialQueue("io");
  IOProcID proc = nullptr;
  ASSERT_EQ(
      createIOProcIDWithBlock(&proc, device, queue, Capture::onCycle, &capture),
      kNoError);
  ASSERT_EQ(deviceStart(device, proc), kNoError);
  for (int i = 0; i < 20000 && capture.count() < cycles; ++i)
    std::this_thread::sleep_for(1ms);
  EXPECT_EQ(deviceStop(device, proc), kNoError);
  EXPECT_EQ(destroyIOProcID(device, proc), kNoError);
  ASSERT_GE(capture.count(), cycles);
}

TEST_F(Simulated, TapCarriesTheMixOfTheProcessesItDoesNotExclude) {
  sim::loadWorld(
      R"({"devices": [{"id": 50, "uid": "speakers", "inputStreams": [2]}],
    "ioBufferFrames": 64, "speed": 20,
    "tap": {"buffers": [2], "gains": [1.0, 0.5]},
    "processes": [
      {"object": 101, "output": true, "signal": {"kind": "ramp", "start": 0, "step": 0.001, "period": 100}},
      {"object": 102, "output": true, "signal": {"kind": "constant", "value": 0.25}},
      {"object": 103, "output": false, "signal": {"kind": "constant", "value": 0.5}},
      {"object": 104, "output": true, "signal": {"kind": "square", "value": 0.125, "period": 10}}]})");
  Chain chain = makeChain({104});
  Capture capture;
  capture.firstTapBuffer = 1;
  runCycles(chain.aggregate, capture, 3);
  const std::vector<float>& frames = capture.floatBuffers.at(0);
  ASSERT_GE(frames.size(), 3u * 64 * 2);
  for (size_t n = 0; n < 3 * 64; ++n) {
    float mix = float(0.001 * double(n % 100) + 0.25);
    ASSERT_FLOAT_EQ(frames[2 * n], mix) << n;
    ASSERT_FLOAT_EQ(frames[2 * n + 1], mix * 0.5f) << n;
  }
}

TEST_F(Simulated, Int16TapTruncatesAndClamps) {
  sim::loadWorld(
      R"({"devices": [{"id": 50, "uid": "speakers"}], "ioBufferFrames": 32, "speed": 20,
    "tap": {"float": false, "buffers": [1, 1], "gains": [1.0, -3.0]},
    "processes": [{"object": 101, "output": true, "signal": {"kind": "square", "value": 0.5, "period": 4}}]})");
  Chain chain = makeChain();
  Capture capture;
  capture.isFloat = false;
  runCycles(chain.aggregate, capture, 1);
  ASSERT_GE(capture.int16Buffers.size(), 2u);
  const std::vector<int16_t> first = {16383, 16383, -16383, -16383};
  const std::vector<int16_t> second = {-32768, -32768, 32767, 32767};
  EXPECT_EQ(std::vector<int16_t>(capture.int16Buffers[0].begin(),
                                 capture.int16Buffers[0].begin() + 4),
            first);
  EXPECT_EQ(std::vector<int16_t>(capture.int16Buffers[1].begin(),
                                 capture.int16Buffers[1].begin() + 4),
            second);
}

struct Notes {
  std::mutex mutex;
  std::vector<std::string> seen;
  void add(const std::string& what) {
    std::lock_guard lock(mutex);
    seen.push_back(what);
  }
  size_t size() {
    std::lock_guard lock(mutex);
    return seen.size();
  }
};

template <const char* kName>
void note(void* context) {
  static_cast<Notes*>(context)->add(kName);
}
constexpr char kDeviceRate[] = "device nsrt";
constexpr char kAggregateRate[] = "aggregate nsrt";
constexpr char kAlive[] = "aggregate livn";
constexpr char kDefaultOutput[] = "dOut";

TEST_F(Simulated, ScriptNotifiesListenersOnTheMainQueueInOrder) {
  // The order within one entry is the world's; entries keep theirs.
  struct Row {
    const char* order;
    std::vector<std::string> seen;
  };
  const Row rows[] = {
      {"asSet", {kDeviceRate, kAggregateRate, kAlive, kDefaultOutput}},
      {"reversed", {kAggregateRate, kDeviceRate, kAlive, kDefaultOutput}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.order);
    sim::loadWorld(R"({"listenerOrder": ")" + std::string(row.order) + R"(",
      "devices": [{"id": 50, "uid": "speakers"}],
      "script": [{"onListRead": 1, "deviceRate": {"uid": "speakers", "rate": 16000}},
                 {"onListRead": 1, "aggregateAlive": false},
                 {"onListRead": 1, "defaultOutput": null}]})");
    Chain chain = makeChain();
    static Notes notes;  // listeners are never removed
    notes.seen.clear();
    const PropertyAddress rate{kDeviceNominalSampleRate, kScopeGlobal, 0};
    ASSERT_EQ(
        addPropertyListener(50, rate, mainQueue(), note<kDeviceRate>, &notes),
        kNoError);
    ASSERT_EQ(addPropertyListener(chain.aggregate, rate, mainQueue(),
                                  note<kAggregateRate>, &notes),
              kNoError);
    ASSERT_EQ(
        addPropertyListener(chain.aggregate, {kDeviceIsAlive, kScopeGlobal, 0},
                            mainQueue(), note<kAlive>, &notes),
        kNoError);
    ASSERT_EQ(addPropertyListener(kSystemObject,
                                  {kDefaultOutputDevice, kScopeGlobal, 0},
                                  mainQueue(), note<kDefaultOutput>, &notes),
              kNoError);
    processList();
    EXPECT_TRUE(notes.seen.empty()) << "notified outside the main queue";
    EXPECT_TRUE(sim::runMainQueueUntil([] { return notes.size() >= 4; }, 20s));
    EXPECT_EQ(notes.seen, row.seen);
    double aggregateRate = 0;
    uint32_t alive = 1;
    ObjectID output = 99;
    EXPECT_EQ(read(chain.aggregate, kDeviceNominalSampleRate, &aggregateRate),
              kNoError);
    EXPECT_EQ(aggregateRate, 16000);
    EXPECT_EQ(read(chain.aggregate, kDeviceIsAlive, &alive), kNoError);
    EXPECT_EQ(alive, 0u);
    EXPECT_EQ(read(kSystemObject, kDefaultOutputDevice, &output), kNoError);
    EXPECT_EQ(output, kUnknownObject);
  }
}

TEST_F(Simulated, CallLogRecordsTheChainInOrder) {
  std::string log = ::testing::TempDir() + "sim_chain_calls.log";
  std::remove(log.c_str());
  sim::loadWorld(R"({"callLog": ")" + log +
                 R"(", "devices": [{"id": 50, "uid": "speakers"}],
    "speed": 50, "failures": [{"op": "destroyIOProc", "status": -1}]})");
  Chain chain = makeChain();
  IOProcID proc = nullptr;
  ASSERT_EQ(createIOProcIDWithBlock(
                &proc, chain.aggregate, createSerialQueue("io"),
                [](void*, const BufferList*) {}, nullptr),
            kNoError);
  EXPECT_EQ(deviceStart(chain.aggregate, proc), kNoError);
  EXPECT_EQ(deviceStop(chain.aggregate, proc), kNoError);
  EXPECT_EQ(destroyIOProcID(chain.aggregate, proc), -1);
  EXPECT_EQ(destroyAggregateDevice(chain.aggregate), kNoError);
  EXPECT_EQ(destroyProcessTap(chain.tap), kNoError);
  EXPECT_EQ(destroyProcessTap(chain.tap), kBadObject);
  EXPECT_EQ(
      testfile::text(log),
      "createProcessTap 300\ncreateAggregateDevice 400\ncreateIOProcID 400\n"
      "deviceStart 400\ndeviceStop 400\ndestroyIOProcID 400 status -1\n"
      "destroyAggregateDevice 400\ndestroyProcessTap 300\n"
      "destroyProcessTap 300 status 560947818\n");
}

TEST_F(Simulated, CallLogTimesEachCycleBeforeItsProcRuns) {
  std::string log = ::testing::TempDir() + "sim_cycle_times.log";
  std::remove(log.c_str());
  sim::loadWorld(R"({"callLog": ")" + log + R"(", "logCycleTimes": true,
    "devices": [{"id": 50, "uid": "speakers"}], "ioBufferFrames": 64, "speed": 20})");
  static std::vector<int64_t> ran(1000);
  static std::atomic<size_t> cycles;
  cycles = 0;
  IOProcID proc = nullptr;
  ASSERT_EQ(createIOProcIDWithBlock(
                &proc, 50, createSerialQueue("timed"),
                [](void*, const BufferList*) {
                  timespec now{};
                  clock_gettime(CLOCK_MONOTONIC, &now);
                  size_t k = cycles;
                  if (k < ran.size())
                    ran[k] = now.tv_sec * 1000000000LL + now.tv_nsec;
                  cycles = k + 1;
                },
                nullptr),
            kNoError);
  ASSERT_EQ(deviceStart(50, proc), kNoError);
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (cycles < 5 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  ASSERT_EQ(deviceStop(50, proc), kNoError);

  std::istringstream lines(testfile::text(log));
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line, "createIOProcID 50");
  std::getline(lines, line);
  EXPECT_EQ(line, "deviceStart 50");
  ASSERT_GE(cycles, 5u);
  int64_t previous = 0;
  for (size_t k = 0; k < cycles; ++k) {
    ASSERT_TRUE(std::getline(lines, line));
    std::istringstream fields(line);
    std::string word;
    uint64_t device = 0, index = 0;
    int64_t handedOver = 0;
    fields >> word >> device >> index >> handedOver;
    EXPECT_EQ(word, "cycleTime");
    EXPECT_EQ(device, 50u);
    EXPECT_EQ(index, k);
    EXPECT_GE(handedOver, previous);
    if (k < ran.size()) {
      EXPECT_LE(handedOver, ran[k]) << "cycle " << k;
    }
    previous = handedOver;
  }
  std::getline(lines, line);
  EXPECT_EQ(line, "deviceStop 50");
}

TEST_F(Simulated, TapRecordsItsDescription) {
  TapDescription description;
  description.excludedProcesses = {101, 900};
  description.name = "nimbrel-tap";
  description.isPrivate = true;
  ObjectID tap = 0;
  ASSERT_EQ(createProcessTap(description, &tap), kNoError);
  std::optional<TapDescription> recorded = sim::tapDescription(tap);
  ASSERT_TRUE(recorded.has_value());
  EXPECT_EQ(recorded->excludedProcesses, description.excludedProcesses);
  EXPECT_EQ(recorded->name, "nimbrel-tap");
  EXPECT_TRUE(recorded->isPrivate);
  EXPECT_EQ(readText(tap, kTapUID), "nimbrel-sim-tap-" + std::to_string(tap));
}

TEST_F(Simulated, TimedScriptFiresOnItsOwn) {
  sim::loadWorld(
      R"({"script": [{"atMs": 30, "processes": [{"object": 101}]}]})");
  for (int i = 0; i < 20000 && processList().empty(); ++i)
    std::this_thread::sleep_for(1ms);
  EXPECT_EQ(processList(), std::vector<ObjectID>{101});
}

TEST_F(Simulated, CycleScriptFiresAfterThatManyCycles) {
  sim::loadWorld(
      R"({"devices": [{"id": 50, "uid": "speakers"}], "ioBufferFrames": 64, "speed": 20,
    "script": [{"atCycle": 3, "aggregateAlive": false}]})");
  Chain chain = makeChain();
  static Notes notes;
  notes.seen.clear();
  ASSERT_EQ(
      addPropertyListener(chain.aggregate, {kDeviceIsAlive, kScopeGlobal, 0},
                          mainQueue(), note<kAlive>, &notes),
      kNoError);
  Capture capture;
  runCycles(chain.aggregate, capture, 3);
  EXPECT_TRUE(sim::runMainQueueUntil([] { return notes.size() >= 1; }, 20s));
  EXPECT_GE(sim::cyclesDelivered(), 3u);
}

TEST_F(Simulated, MainLoopServesTasksInOrderUntilStopped) {
  std::vector<int> ran;
  dispatchAsync(mainQueue(), [&] { ran.push_back(1); });
  dispatchAsync(mainQueue(), [&] {
    ran.push_back(2);
    sim::stopMainLoop();
  });
  dispatchAsync(mainQueue(), [&] { ran.push_back(3); });
  runMainLoop();
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
  sim::runMainQueueUntilIdle();
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
}

TEST_F(Simulated, SignalWatcherRunsItsHandlerOnTheMainQueue) {
  static std::atomic<int> handled{0};
  static std::thread::id where;
  watchSignal(SIGUSR1, [] {
    where = std::this_thread::get_id();
    ++handled;
  });
  std::raise(SIGUSR1);
  EXPECT_TRUE(sim::runMainQueueUntil([] { return handled.load() > 0; }, 20s));
  EXPECT_EQ(where, std::this_thread::get_id());
}

// A stop signal that comes while the other one is watched but not yet itself
// keeps its own action, which ends the process; it used to vanish.
TEST_F(Simulated, StopSignalNotYetWatchedKeepsItsDefaultAction) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        watchSignal(SIGINT, [] {});
        sigset_t term;
        sigemptyset(&term);
        sigaddset(&term, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &term, nullptr);  // the watcher's to take
        kill(getpid(), SIGTERM);
        std::this_thread::sleep_for(5s);
        std::_Exit(0);
      },
      testing::KilledBySignal(SIGTERM), "");
}

}  // namespace
}  // namespace audio
