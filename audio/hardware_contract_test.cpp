// What both programs rely on from the platform seam, written against
// audio/hardware.h and audio/dispatch.h only, so that the same tests hold for
// the simulated platform and, in principle, for Core Audio.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/dispatch.h"
#include "audio/hardware.h"

#if NIMBREL_SIMULATED_PLATFORM
#include "audio/sim/sim.h"
#endif

namespace audio {
namespace {

using namespace std::chrono_literals;

// The only platform-specific part: a machine to run on, a way to make
// properties change (the real platform offers none to a test), and whether
// the I/O queue may be held up: the real HAL calls the I/O block on its
// real-time thread and waits for it.
#if !NIMBREL_SIMULATED_PLATFORM
void prepareMachine() {}
bool canChangeProperties() { return false; }
bool realHAL() { return true; }
#else
void prepareMachine() {
  // Each process-list size query below fires one scripted change.
  sim::loadWorld(R"({
    "devices": [{"id": 50, "uid": "speakers", "inputStreams": [2]},
                {"id": 51, "uid": "headset", "rate": 16000}],
    "defaultOutput": "speakers", "ioBufferFrames": 128, "speed": 4,
    "script": [{"onListRead": 1, "defaultOutput": "headset"},
               {"onListRead": 2, "deviceRate": {"uid": "speakers", "rate": 44100}},
               {"onListRead": 3, "defaultOutput": "speakers"}]})");
}
bool canChangeProperties() { return true; }
bool realHAL() { return false; }
#endif

// Sets off the next scripted change.
void changeNextProperty() {
  uint32_t size = 0;
  getPropertyDataSize(kSystemObject,
                      {kProcessObjectList, kScopeGlobal, kElementMain}, 0,
                      nullptr, &size);
}

template <class T>
Status read(ObjectID object, Selector selector, T* out,
            uint32_t qualifierSize = 0, const void* qualifier = nullptr) {
  uint32_t size = sizeof(T);
  return getPropertyData(object, {selector, kScopeGlobal, kElementMain},
                         qualifierSize, qualifier, &size, out);
}

std::optional<std::string> readString(ObjectID object, Selector selector) {
  StringRef string = nullptr;
  Status status = read(object, selector, &string);
  std::optional<std::string> text;
  if (status == kNoError && string) text = stringValue(string);
  if (string) releaseString(string);
  return text;
}

ObjectID defaultOutput() {
  ObjectID device = kUnknownObject;
  return read(kSystemObject, kDefaultOutputDevice, &device) == kNoError
             ? device
             : kUnknownObject;
}

// Holds a queue's tasks back until released, to show that work goes through
// that queue; counts what runs there at the same time.
class QueueProbe {
 public:
  explicit QueueProbe(DispatchQueue* queue) : queue_(queue) {}

  void hold() {
    dispatchAsync(queue_, [this] {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return released_; });
    });
  }
  void release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

  // Called by the work under test, on the queue.
  void enter(int tag) {
    if (++inFlight_ > 1) overlapped_ = true;
    std::this_thread::sleep_for(2ms);  // gives an overlap the chance to show
    std::lock_guard lock(mutex_);
    tags_.push_back(tag);
    --inFlight_;
    changed_.notify_all();
  }

  bool waitForCalls(size_t count, std::chrono::seconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout,
                             [&] { return tags_.size() >= count; });
  }
  std::vector<int> tags() {
    std::lock_guard lock(mutex_);
    return tags_;
  }
  bool overlapped() const { return overlapped_; }

 private:
  DispatchQueue* queue_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool released_ = false;
  std::vector<int> tags_;
  std::atomic<int> inFlight_{0};
  std::atomic<bool> overlapped_{false};
};

class HardwareContract : public ::testing::Test {
 protected:
  void SetUp() override { prepareMachine(); }
};

TEST_F(HardwareContract, FailedReadsReturnNonZeroAndLeaveTheData) {
  struct Row {
    const char* why;
    ObjectID object;
    Selector selector;
  };
  const Row rows[] = {
      {"object 0", kUnknownObject, kDefaultOutputDevice},
      {"no such object", 0x7FFFFF00, kDefaultOutputDevice},
      {"no such selector", kSystemObject, fourCharCode("zzzz")},
      {"device selector on the system object", kSystemObject,
       kDeviceNominalSampleRate},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    uint32_t value = 0xA5A5A5A5;
    EXPECT_NE(read(row.object, row.selector, &value), kNoError);
    EXPECT_EQ(value, 0xA5A5A5A5);
    uint32_t size = 0;
    EXPECT_NE(getPropertyDataSize(row.object,
                                  {row.selector, kScopeGlobal, kElementMain}, 0,
                                  nullptr, &size),
              kNoError);
  }
  uint16_t tooSmall = 0xA5A5;
  EXPECT_NE(read(kSystemObject, kDefaultOutputDevice, &tooSmall), kNoError);
  EXPECT_EQ(tooSmall, 0xA5A5);
}

TEST_F(HardwareContract, StringsRoundTripAndNullIsAbsent) {
  StringRef string = createString("Nimbrel \xc3\xa9t\xc3\xa9");
  EXPECT_EQ(stringValue(string), "Nimbrel \xc3\xa9t\xc3\xa9");
  releaseString(string);
  EXPECT_EQ(stringValue(nullptr), std::nullopt);
}

TEST_F(HardwareContract, DefaultOutputUIDTranslatesBack) {
  ObjectID device = defaultOutput();
  ASSERT_NE(device, kUnknownObject);
  std::optional<std::string> uid = readString(device, kDeviceUID);
  ASSERT_TRUE(uid.has_value());
  EXPECT_FALSE(uid->empty());
  double rate = 0;
  EXPECT_EQ(read(device, kDeviceNominalSampleRate, &rate), kNoError);
  EXPECT_GT(rate, 0);

  StringRef qualifier = createString(*uid);
  ObjectID found = kUnknownObject;
  EXPECT_EQ(read(kSystemObject, kTranslateUIDToDevice, &found, sizeof qualifier,
                 &qualifier),
            kNoError);
  EXPECT_EQ(found, device);
  releaseString(qualifier);

  qualifier = createString("nimbrel-contract-no-such-device");
  found = 77;
  EXPECT_EQ(read(kSystemObject, kTranslateUIDToDevice, &found, sizeof qualifier,
                 &qualifier),
            kNoError);
  EXPECT_EQ(found, kUnknownObject);
  releaseString(qualifier);
}

TEST_F(HardwareContract, UnknownPIDTranslatesToNoObject) {
  int32_t pid = std::numeric_limits<int32_t>::max();
  ObjectID object = 77;
  EXPECT_EQ(read(kSystemObject, kTranslatePIDToProcessObject, &object,
                 sizeof pid, &pid),
            kNoError);
  EXPECT_EQ(object, kUnknownObject);
  pid = int32_t(getpid());
  EXPECT_EQ(read(kSystemObject, kTranslatePIDToProcessObject, &object,
                 sizeof pid, &pid),
            kNoError);
}

TEST_F(HardwareContract, ProcessObjectListIsWholeIDs) {
  uint32_t size = 0;
  ASSERT_EQ(getPropertyDataSize(
                kSystemObject, {kProcessObjectList, kScopeGlobal, kElementMain},
                0, nullptr, &size),
            kNoError);
  EXPECT_EQ(size % sizeof(ObjectID), 0u);
}

// Listeners and the queue probe live for the process: listeners are never
// removed.
QueueProbe* listenerProbe;
void onDefaultOutput(void*) { listenerProbe->enter(1); }
void onRate(void*) { listenerProbe->enter(2); }

TEST_F(HardwareContract, ListenersRunOnTheirQueueOneAtATimeInOrder) {
  if (!canChangeProperties())
    GTEST_SKIP() << "no way to change a property here";
  DispatchQueue* queue = createSerialQueue("contract.listeners");
  listenerProbe = new QueueProbe(queue);
  ObjectID device = defaultOutput();
  ASSERT_EQ(
      addPropertyListener(kSystemObject,
                          {kDefaultOutputDevice, kScopeGlobal, kElementMain},
                          queue, onDefaultOutput, nullptr),
      kNoError);
  ASSERT_EQ(addPropertyListener(
                device, {kDeviceNominalSampleRate, kScopeGlobal, kElementMain},
                queue, onRate, nullptr),
            kNoError);
  listenerProbe->hold();
  for (int i = 0; i < 3; ++i) changeNextProperty();
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(listenerProbe->tags().empty())
      << "a listener ran outside its queue";
  listenerProbe->release();
  ASSERT_TRUE(listenerProbe->waitForCalls(3, 20s));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(listenerProbe->tags(), (std::vector<int>{1, 2, 1}));
  EXPECT_FALSE(listenerProbe->overlapped());
}

Dictionary captureDescription(const std::string& uid,
                              const std::string& outputUID,
                              const std::string& tapUID) {
  Dictionary sub{{{"uid", Value{outputUID}}}};
  Dictionary tap{{{"uid", Value{tapUID}}, {"drift", Value{true}}}};
  return Dictionary{{{"name", Value{std::string("Nimbrel Contract")}},
                     {"uid", Value{uid}},
                     {"master", Value{outputUID}},
                     {"private", Value{true}},
                     {"stacked", Value{false}},
                     // Off: with it on, a start may wait until something
                     // plays, which a quiet machine never does.
                     {"tapautostart", Value{false}},
                     {"subdevices", Value{std::vector<Dictionary>{sub}}},
                     {"taps", Value{std::vector<Dictionary>{tap}}}}};
}

void onCycle(void* context, const BufferList* input) {
  auto* probe = static_cast<QueueProbe*>(context);
  probe->enter(input && input->numberBuffers > 0 ? 1 : 0);
}

TEST_F(HardwareContract, IOCyclesRunOnTheirQueueAndEndWithDeviceStop) {
  TapDescription description;
  description.name = "nimbrel-contract";
  description.isPrivate = true;
  ObjectID tap = kUnknownObject;
  ASSERT_EQ(createProcessTap(description, &tap), kNoError);
  ASSERT_NE(tap, kUnknownObject);
  std::optional<std::string> tapUID = readString(tap, kTapUID);
  std::optional<std::string> outputUID =
      readString(defaultOutput(), kDeviceUID);
  ASSERT_TRUE(tapUID && outputUID);
  ObjectID aggregate = kUnknownObject;
  std::string uid = "nimbrel-contract-" + std::to_string(getpid());
  ASSERT_EQ(createAggregateDevice(captureDescription(uid, *outputUID, *tapUID),
                                  &aggregate),
            kNoError);
  ASSERT_NE(aggregate, kUnknownObject);
  ObjectID duplicate = kUnknownObject;
  EXPECT_NE(createAggregateDevice(captureDescription(uid, *outputUID, *tapUID),
                                  &duplicate),
            kNoError);

  DispatchQueue* queue = createSerialQueue("contract.io");
  auto* probe = new QueueProbe(queue);  // the queue may still hold a task of it
  IOProcID proc = nullptr;
  ASSERT_EQ(createIOProcIDWithBlock(&proc, aggregate, queue, onCycle, probe),
            kNoError);
  ASSERT_NE(proc, nullptr);
  if (!realHAL()) probe->hold();
  ASSERT_EQ(deviceStart(aggregate, proc), kNoError);
  if (!realHAL()) {
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(probe->tags().empty()) << "a cycle ran outside its queue";
    probe->release();
  }
  // The real HAL's cycles are not ours to promise; the rest still holds
  // for those that came.
  const bool cyclesCame = probe->waitForCalls(5, realHAL() ? 5s : 20s);
  if (!realHAL()) {
    ASSERT_TRUE(cyclesCame);
  }
  EXPECT_EQ(deviceStop(aggregate, proc), kNoError);
  size_t cycles = probe->tags().size();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(probe->tags().size(), cycles) << "a cycle after deviceStop";
  EXPECT_FALSE(probe->overlapped());
  for (int tag : probe->tags()) EXPECT_EQ(tag, 1);

  EXPECT_EQ(destroyIOProcID(aggregate, proc), kNoError);
  EXPECT_EQ(destroyAggregateDevice(aggregate), kNoError);
  EXPECT_EQ(destroyProcessTap(tap), kNoError);
  StringRef gone = nullptr;
  EXPECT_NE(read(tap, kTapUID, &gone), kNoError);
}

// Reads a pipe on a serial queue until its end; the descriptor number is then
// pointed at a pipe that stays quiet, since a watcher is never cancelled.
struct PipeReader {
  int fds[2] = {-1, -1};
  int quiet[2] = {-1, -1};
  QueueProbe* probe = nullptr;
  std::atomic<size_t> bytes{0};

  void onReadable() {
    char buffer[256] = {};
    ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n > 0) bytes += size_t(n);
    if (n <= 0) dup2(quiet[0], fds[0]);
    probe->enter(n > 0 ? 1 : 2);
  }
};

TEST(DispatchContract, ReadableHandlerRunsOnItsQueueOneAtATimeUntilTheEnd) {
  auto* reader = new PipeReader;  // the watcher outlives the test
  ASSERT_EQ(pipe(reader->fds), 0);
  ASSERT_EQ(pipe(reader->quiet), 0);
  DispatchQueue* queue = createSerialQueue("contract.readable");
  reader->probe = new QueueProbe(queue);
  reader->probe->hold();
  watchReadable(reader->fds[0], queue, [reader] { reader->onReadable(); });
  const std::string chunk(1000, 'x');
  ASSERT_EQ(write(reader->fds[1], chunk.data(), chunk.size()),
            ssize_t(chunk.size()));
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(reader->probe->tags().empty())
      << "the handler ran outside its queue";
  reader->probe->release();
  for (int i = 0; i < 2; ++i) {
    std::this_thread::sleep_for(5ms);
    ASSERT_EQ(write(reader->fds[1], chunk.data(), chunk.size()),
              ssize_t(chunk.size()));
  }
  for (int i = 0; i < 20000 && reader->bytes < 3 * chunk.size(); ++i)
    std::this_thread::sleep_for(1ms);
  close(reader->fds[1]);
  for (int i = 0; i < 20000; ++i) {
    std::vector<int> tags = reader->probe->tags();
    if (!tags.empty() && tags.back() == 2) break;
    std::this_thread::sleep_for(1ms);
  }
  std::vector<int> tags = reader->probe->tags();
  EXPECT_EQ(reader->bytes, 3 * chunk.size());
  ASSERT_FALSE(tags.empty());
  EXPECT_EQ(tags.back(), 2);
  EXPECT_EQ(std::count(tags.begin(), tags.end(), 2), 1);
  EXPECT_FALSE(reader->probe->overlapped());
}

}  // namespace
}  // namespace audio
