// The buffer-switch thread driven without the kernel: the test plays the
// kernel (writes the shared header in its own memory and sets the
// buffer-switch event) and the host (callbacks that record what they see).
// Preroll and sample position, the index from the right header, the
// warnings and the toggle count, stops (also from inside the host's
// callback), the idle sleep while not Running, the reset requests, the
// time-info switch and the thread's scheduling class.
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "asio/asio_trace.h"
#include "platform/win32/event_trace_host.h"
#include "platform/win32/system_host.h"
#include "tests/asio/asio_driver_fixture.h"

namespace {

using asiotest::Access;
using Clock = std::chrono::steady_clock;

struct SwitchSeen {
  LONG index;
  ASIOBool direct;
  double position;  // the driver's sample position during the call
  bool timeInfo;
  ASIOTime time;    // what bufferSwitchTimeInfo was given
  ASIOTimeStamp stamp;
  int priority;
  std::string mmcssTask;
  DWORD threadId;
};

// What the host's callbacks saw; they run on the buffer-switch thread.
struct HostRecord {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<SwitchSeen> switches;
  std::vector<Clock::time_point> resets;
  CKelAsioDriver* driver = nullptr;
  std::function<void()> inSwitch;  // runs inside each switch, on that thread

  size_t Switches() {
    std::lock_guard<std::mutex> l(lock);
    return switches.size();
  }
  size_t Resets() {
    std::lock_guard<std::mutex> l(lock);
    return resets.size();
  }
  bool WaitSwitches(size_t n) {
    std::unique_lock<std::mutex> l(lock);
    return changed.wait_for(l, std::chrono::seconds(10), [&] { return switches.size() >= n; });
  }
  bool WaitResets(size_t n) {
    std::unique_lock<std::mutex> l(lock);
    return changed.wait_for(l, std::chrono::seconds(10), [&] { return resets.size() >= n; });
  }
};

HostRecord* g_host = nullptr;

void RecordSwitch(LONG index, ASIOBool direct, const ASIOTime* time) {
  SwitchSeen seen{};
  seen.index = index;
  seen.direct = direct;
  seen.position = Access::SamplePosition(*g_host->driver);
  seen.timeInfo = time != nullptr;
  if (time != nullptr) seen.time = *time;
  seen.stamp = Access::SystemTime(*g_host->driver);
  seen.priority = GetThreadPriority(GetCurrentThread());
  seen.mmcssTask = platform::win32::CurrentThreadMmcssTask();
  seen.threadId = GetCurrentThreadId();
  if (g_host->inSwitch) g_host->inSwitch();
  std::lock_guard<std::mutex> l(g_host->lock);
  g_host->switches.push_back(seen);
  g_host->changed.notify_all();
}

void OnBufferSwitch(LONG index, ASIOBool direct) { RecordSwitch(index, direct, nullptr); }

ASIOTime* OnBufferSwitchTimeInfo(ASIOTime* params, LONG index, ASIOBool direct) {
  RecordSwitch(index, direct, params);
  return params;
}

LONG OnAsioMessage(LONG selector, LONG, void*, double*) {
  if (selector != kAsioResetRequest) return 0;
  std::lock_guard<std::mutex> l(g_host->lock);
  g_host->resets.push_back(Clock::now());
  g_host->changed.notify_all();
  return 1;
}

// Waits for a condition the test cannot be told about otherwise (a word
// of the shared header the thread resets); false after a generous timeout.
bool WaitUntil(const std::function<bool()>& done) {
  const Clock::time_point end = Clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

size_t CountLines(const platform::win32::EventTraceCapture& capture, const std::string& needle) {
  size_t n = 0;
  for (const platform::win32::TraceEventRecord& e : capture.Events()) {
    if (e.text.find(needle) != std::string::npos) ++n;
  }
  return n;
}

class BufferSwitchThreadTest : public asiotest::AsioDriverTest {
 protected:
  void SetUp() override {
    asiotest::AsioDriverTest::SetUp();
    ASSERT_NE(CreateDriver(), nullptr);
    CKelAsioDriver& d = Driver();
    host_.driver = &d;
    g_host = &host_;
    callbacks_.bufferSwitch = OnBufferSwitch;
    callbacks_.asioMessage = OnAsioMessage;
    callbacks_.bufferSwitchTimeInfo = OnBufferSwitchTimeInfo;
    stopEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    kernelEvent_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(stopEvent_, nullptr);
    ASSERT_NE(kernelEvent_, nullptr);
    // What createBuffers and start leave behind: outputs only, 512 frames
    // at 48 kHz, preroll pending, Running.
    Access::StopEvent(d) = stopEvent_;
    Access::KernelEvent(d) = kernelEvent_;
    Access::WaitList(d)[0] = stopEvent_;
    Access::WaitList(d)[1] = kernelEvent_;
    Access::BufferSize(d) = 512;
    Access::SampleRate(d) = 48000;
    Access::ActiveOutputs(d) = 2;
    Access::OutputHeader(d) = &output_;
    Access::Callbacks(d) = &callbacks_;
    Access::Preroll(d) = 1;
    Access::SamplePosition(d) = 0;
    Access::StopRequest(d) = 0;
    Access::LastIndex(d) = -1;
    Access::State(d) = CKelAsioDriver::kRunning;
  }

  void TearDown() override {
    if (driver_ != nullptr) {
      CKelAsioDriver& d = Driver();
      SetEvent(stopEvent_);
      for (int i = 0; i < 10 && Access::BufferSwitchThread(d) != nullptr; ++i) Access::StopBufferSwitchThread(d);
      EXPECT_EQ(Access::BufferSwitchThread(d), nullptr) << "the buffer-switch thread did not end";
      // Nothing of the test's own is left for the destructor.
      Access::State(d) = CKelAsioDriver::kLoaded;
      Access::Callbacks(d) = nullptr;
      Access::InputHeader(d) = nullptr;
      Access::OutputHeader(d) = nullptr;
      Access::StopEvent(d) = nullptr;
      Access::KernelEvent(d) = nullptr;
      Access::WaitList(d)[0] = Access::WaitList(d)[1] = nullptr;
    }
    if (stopEvent_ != nullptr) CloseHandle(stopEvent_);
    if (kernelEvent_ != nullptr) CloseHandle(kernelEvent_);
    g_host = nullptr;
    asiotest::AsioDriverTest::TearDown();
  }

  // As start() leaves things for a new thread.
  void Start() {
    ResetEvent(stopEvent_);
    __atomic_store_n(&Access::StopRequest(Driver()), 0, __ATOMIC_RELEASE);
    Access::StartBufferSwitchThread(Driver());
  }

  // The kernel finished a half: it now works on `currentHalf`.
  void Signal(AsioSharedHeader& header, uint32_t currentHalf, uint32_t toggles = 1) {
    AsioHeaderStore(&header.currentHalf, currentHalf);
    AsioHeaderStore(&header.toggleCount, toggles);
    SetEvent(kernelEvent_);
  }
  // Signals and waits for the host's call.
  bool Switch(AsioSharedHeader& header, uint32_t currentHalf, uint32_t toggles = 1) {
    const size_t before = host_.Switches();
    Signal(header, currentHalf, toggles);
    return host_.WaitSwitches(before + 1);
  }
  // Signals and waits until the thread has taken the event (it resets the
  // toggle count first), for events that call no host.
  bool Consumed(AsioSharedHeader& header, uint32_t currentHalf) {
    Signal(header, currentHalf, 1);
    return WaitUntil([&] { return AsioHeaderLoad(&header.toggleCount) == 0; });
  }
  // Ends the thread as stop() does and waits for it.
  void StopThread() {
    CKelAsioDriver& d = Driver();
    __atomic_exchange_n(&Access::StopRequest(d), 1, __ATOMIC_ACQ_REL);
    SetEvent(stopEvent_);
    Access::StopBufferSwitchThread(d);
    EXPECT_EQ(Access::BufferSwitchThread(d), nullptr);
  }

  HostRecord host_;
  ASIOCallbacks callbacks_ = {};
  AsioSharedHeader input_ = {};
  AsioSharedHeader output_ = {};
  HANDLE stopEvent_ = nullptr;
  HANDLE kernelEvent_ = nullptr;
};

TEST_F(BufferSwitchThreadTest, PrerollOfBothHalvesThenThePositionAdvancesPerSwitch) {
  Start();
  // The kernel works on half 1 first, so the host gets half 0, then 1, ...
  ASSERT_TRUE(Switch(output_, 1));
  ASSERT_TRUE(Switch(output_, 0));
  ASSERT_TRUE(Switch(output_, 1));
  ASSERT_TRUE(Switch(output_, 0));
  StopThread();
  ASSERT_EQ(host_.switches.size(), 4u);
  const LONG indices[] = {0, 1, 0, 1};
  const double positions[] = {0, 0, 512, 1024};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(host_.switches[i].index, indices[i]) << i;
    EXPECT_EQ(host_.switches[i].position, positions[i]) << i;
    EXPECT_EQ(host_.switches[i].direct, ASIOTrue) << i;
    EXPECT_FALSE(host_.switches[i].timeInfo) << i;
  }
  EXPECT_EQ(Access::Preroll(Driver()), 0u);
  EXPECT_EQ(Access::SamplePosition(Driver()), 1024.0);
  EXPECT_EQ(Access::BufferIndex(Driver()), 1u);
}

TEST_F(BufferSwitchThreadTest, MissedSwitchesAndTheSameHalfTwiceAreWarnedAndTheToggleCountReset) {
  platform::win32::EventTraceCapture capture(process_);
  Start();
  ASSERT_TRUE(Switch(output_, 1, 3));  // two switches missed
  EXPECT_EQ(AsioHeaderLoad(&output_.toggleCount), 0u);
  ASSERT_TRUE(Switch(output_, 0, 1));
  EXPECT_EQ(AsioHeaderLoad(&output_.toggleCount), 0u);
  ASSERT_TRUE(Switch(output_, 0, 1));  // half 1 again
  StopThread();
  EXPECT_EQ(CountLines(capture, "missed"), 1u) << capture.Text();
  EXPECT_EQ(CountLines(capture, "twice in a row"), 1u) << capture.Text();
  EXPECT_EQ(AsioHeaderLoad(&output_.toggleCount), 0u);
}

TEST_F(BufferSwitchThreadTest, WithInputsAndOutputsTheInputHeaderDecides) {
  CKelAsioDriver& d = Driver();
  Access::ActiveInputs(d) = 2;
  Access::InputHeader(d) = &input_;
  AsioHeaderStore(&output_.currentHalf, 1);
  AsioHeaderStore(&output_.toggleCount, 5);
  Start();
  ASSERT_TRUE(Switch(input_, 0));
  ASSERT_TRUE(Switch(input_, 1));
  StopThread();
  ASSERT_EQ(host_.switches.size(), 2u);
  EXPECT_EQ(host_.switches[0].index, 1);
  EXPECT_EQ(host_.switches[1].index, 0);
  // The render header is left alone (only its error word is read).
  EXPECT_EQ(AsioHeaderLoad(&output_.toggleCount), 5u);
}

TEST_F(BufferSwitchThreadTest, AStopEndsTheLoopWithoutAnotherBufferSwitch) {
  CKelAsioDriver& d = Driver();
  Access::Preroll(d) = 0;
  Start();
  ASSERT_TRUE(Switch(output_, 1));
  // stop() has begun (its request is set) but has not signalled the stop
  // event yet: neither this event nor a later one reaches the host.
  __atomic_exchange_n(&Access::StopRequest(d), 1, __ATOMIC_ACQ_REL);
  ASSERT_TRUE(Consumed(output_, 0));
  ASSERT_TRUE(Consumed(output_, 1));
  // The stop event while the thread waits ends it.
  SetEvent(stopEvent_);
  const Clock::time_point before = Clock::now();
  Access::StopBufferSwitchThread(d);
  EXPECT_EQ(Access::BufferSwitchThread(d), nullptr);
  EXPECT_EQ(Access::ThreadRunning(d), 0);
  EXPECT_LT(Clock::now() - before, std::chrono::seconds(5));
  EXPECT_EQ(host_.Switches(), 1u);
  // The position still counts the halves the device moved on by.
  EXPECT_EQ(Access::SamplePosition(d), 3 * 512.0);
}

TEST_F(BufferSwitchThreadTest, NotRunningSleepsABufferPeriodPerIterationAndLeavesTheEventAlone) {
  platform::win32::EventTraceCapture capture(process_);
  CKelAsioDriver& d = Driver();
  Access::State(d) = CKelAsioDriver::kPrepared;
  Access::BufferSize(d) = 2400;  // 50 ms at 48 kHz
  SetEvent(kernelEvent_);
  const Clock::time_point begin = Clock::now();
  Start();
  ASSERT_TRUE(WaitUntil([&] { return CountLines(capture, "not running") >= 3; }));
  Access::StopBufferSwitchThread(d);
  const double elapsedMs = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
  // A thread that does not sleep its period iterates thousands of times.
  const size_t idle = CountLines(capture, "not running");
  EXPECT_LE(static_cast<double>(idle), elapsedMs / 50.0 + 2) << elapsedMs << " ms";
  EXPECT_NE(capture.Text().find("sleeping 50 ms"), std::string::npos) << capture.Text();
  // It did not wait for the kernel: the event is still set, nobody called.
  EXPECT_EQ(WaitForSingleObject(kernelEvent_, 0), WAIT_OBJECT_0);
  EXPECT_EQ(host_.Switches(), 0u);

  // Running again: the next iteration waits and calls the host.
  Start();
  __atomic_store_n(&Access::State(d), static_cast<ULONG>(CKelAsioDriver::kRunning), __ATOMIC_RELEASE);
  ASSERT_TRUE(Switch(output_, 1));

  // Without a sample rate the period is 0 (no division by zero).
  StopThread();
  Access::SampleRate(d) = 0;
  Access::State(d) = CKelAsioDriver::kPrepared;
  capture.Clear();
  Start();
  ASSERT_TRUE(capture.WaitFor("sleeping 0 ms", std::chrono::seconds(10))) << capture.Text();
  Access::StopBufferSwitchThread(d);
  EXPECT_EQ(Access::BufferSwitchThread(d), nullptr);
}

TEST_F(BufferSwitchThreadTest, ASecondWithoutAnEventAsksTheHostToResetOncePerSecond) {
  const Clock::time_point begin = Clock::now();
  Start();
  ASSERT_TRUE(host_.WaitResets(2));
  StopThread();
  const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
  std::lock_guard<std::mutex> l(host_.lock);
  // Never earlier than a second after the previous wait began; a busy
  // machine only makes them later.
  EXPECT_GE(host_.resets[0] - begin, std::chrono::milliseconds(900));
  EXPECT_GE(host_.resets[1] - host_.resets[0], std::chrono::milliseconds(900));
  EXPECT_LE(static_cast<double>(host_.resets.size()), elapsed + 1) << elapsed << " s";
  EXPECT_TRUE(host_.switches.empty());
}

TEST_F(BufferSwitchThreadTest, ADeviceErrorInTheRenderHeaderAsksForAResetAtEveryIteration) {
  Start();
  ASSERT_TRUE(Switch(output_, 1));
  AsioHeaderStore(&output_.streamError, 0xC000009Du);  // the device is gone
  for (size_t i = 1; i <= 3; ++i) {
    ASSERT_TRUE(Switch(output_, i % 2));
    ASSERT_TRUE(host_.WaitResets(i)) << i;
  }
  StopThread();
  EXPECT_GE(host_.Resets(), 3u);
}

TEST_F(BufferSwitchThreadTest, TimeInfoModeFillsPositionStampAndTimeCodeAndClearsTheChangeFlags) {
  CKelAsioDriver& d = Driver();
  platform::win32::SetUptimeBias(5000000);  // the stamp's high word in use
  Access::TimeInfoMode(d) = 1;
  Access::TimeCodeRead(d) = 1;
  ASIOTime& t = Access::AsioTime(d);
  t.timeInfo.speed = 1.0;
  t.timeInfo.sampleRate = 48000;
  t.timeInfo.flags = kSystemTimeValid | kSamplePositionValid | kSampleRateValid | kSampleRateChanged |
                     kClockSourceChanged;
  t.timeCode.speed = 1.0;
  t.timeCode.flags = kTcValid | kTcRunning;
  const DWORD before = timeGetTime();
  Start();
  // A stop request does not hold back a time-info switch.
  __atomic_store_n(&Access::StopRequest(d), 1, __ATOMIC_RELEASE);
  ASSERT_TRUE(Switch(output_, 1));
  ASSERT_TRUE(Switch(output_, 0));
  ASSERT_TRUE(Switch(output_, 1));
  const DWORD after = timeGetTime();
  StopThread();
  ASSERT_EQ(host_.switches.size(), 3u);
  for (const SwitchSeen& s : host_.switches) EXPECT_TRUE(s.timeInfo);
  const ASIOTime& first = host_.switches[0].time;
  const ASIOTime& third = host_.switches[2].time;
  EXPECT_EQ(first.timeInfo.samplePosition.lo, 0u);
  EXPECT_EQ(third.timeInfo.samplePosition.hi, 0u);
  EXPECT_EQ(third.timeInfo.samplePosition.lo, 512u);
  EXPECT_EQ(third.timeCode.timeCodeSamples.hi, 0u);
  EXPECT_EQ(third.timeCode.timeCodeSamples.lo, 48000u * 600u + 512u);
  // The first call still saw the change flags; they are cleared after it.
  EXPECT_EQ(first.timeInfo.flags & 0x30u, 0x30u);
  EXPECT_EQ(third.timeInfo.flags & 0x30u, 0u);
  EXPECT_EQ(third.timeInfo.flags & 7u, 7u);
  // Nanoseconds of the millisecond clock, split into two words.
  const ASIOTimeStamp stamp = third.timeInfo.systemTime;
  EXPECT_NE(stamp.hi, 0u);
  const double ns = stamp.hi * 4294967296.0 + stamp.lo;
  EXPECT_GE(ns, before * 1e6);
  EXPECT_LE(ns, after * 1e6);
  EXPECT_EQ(std::fmod(ns, 1e6), 0.0);
  EXPECT_EQ(stamp.hi, host_.switches[2].stamp.hi);
  EXPECT_EQ(stamp.lo, host_.switches[2].stamp.lo);
}

TEST_F(BufferSwitchThreadTest, ThePriorityIsProAudioFromVersionSixAndHighestBefore) {
  // Windows 8: "Pro Audio" through avrt.dll, reverted and unloaded at the end.
  Start();
  ASSERT_TRUE(Switch(output_, 1));
  StopThread();
  EXPECT_EQ(host_.switches[0].mmcssTask, "Pro Audio");
  std::vector<platform::win32::MmcssRecord> history = platform::win32::MmcssHistory();
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history[0].threadId, host_.switches[0].threadId);
  EXPECT_EQ(history[0].task, "Pro Audio");
  EXPECT_TRUE(history[0].reverted);
  EXPECT_EQ(platform::win32::ModuleReferenceCount(process_, "avrt.dll"), 0u);

  // Windows XP: the highest thread priority, no scheduler.
  platform::win32::SetWindowsVersion(5, 1, 2600);
  Start();
  ASSERT_TRUE(Switch(output_, 0));
  StopThread();
  EXPECT_EQ(host_.switches[1].priority, THREAD_PRIORITY_HIGHEST);
  EXPECT_EQ(host_.switches[1].mmcssTask, "");
  EXPECT_EQ(platform::win32::MmcssHistory().size(), 1u);

  // Windows 10 without avrt.dll: normal priority, the host is served anyway.
  platform::win32::SetWindowsVersion(10, 0, 19045);
  platform::win32::SetModuleMissing("avrt.dll");
  Start();
  ASSERT_TRUE(Switch(output_, 1));
  StopThread();
  EXPECT_EQ(host_.switches[2].priority, THREAD_PRIORITY_NORMAL);
  EXPECT_EQ(host_.switches[2].mmcssTask, "");
  EXPECT_EQ(platform::win32::MmcssHistory().size(), 1u);
}

TEST_F(BufferSwitchThreadTest, AStopFromInsideTheHostsCallbackReturnsAtOnce) {
  CKelAsioDriver& d = Driver();
  std::atomic<long long> stopMicros{-1};
  host_.inSwitch = [&] {
    // What stop() does on this thread: request, stop event, thread stop,
    // then the stop event reset once the pins are stopped.
    const Clock::time_point begin = Clock::now();
    __atomic_exchange_n(&Access::StopRequest(d), 1, __ATOMIC_ACQ_REL);
    SetEvent(stopEvent_);
    Access::StopBufferSwitchThread(d);
    ResetEvent(stopEvent_);
    stopMicros = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - begin).count();
  };
  Start();
  HANDLE thread = Access::BufferSwitchThread(d);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(Switch(output_, 1));
  // Waiting for itself would have taken the full second.
  EXPECT_GE(stopMicros.load(), 0);
  EXPECT_LT(stopMicros.load(), 500000);
  // The thread leaves after that iteration although the stop event was
  // reset; its handle waits for a stop from another thread.
  EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(Access::BufferSwitchThread(d), thread);
  host_.inSwitch = nullptr;
  Access::StopBufferSwitchThread(d);
  EXPECT_EQ(Access::BufferSwitchThread(d), nullptr);
  EXPECT_EQ(host_.Switches(), 1u);
}

}  // namespace
