// A minimal ASIO host for the driver object's buffer and streaming tests:
// the callbacks a host hands to createBuffers (plain function pointers, so
// one host is current at a time), counters the test waits on, and a hook
// that runs inside bufferSwitch. Each switch fills the output halves and
// calls outputReady, as a host does; the allocations outputReady makes on
// the buffer-switch thread are counted. Also a recorder of the low-latency
// property requests the kernel-streaming client sends.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

#include "asio/asio_interface.h"
#include "driver/asiochannel/asio_protocol.h"
#include "kslib/ks_alloc.h"
#include "kslib/ks_ids.h"
#include "platform/win32/device_io_host.h"

namespace asiotest {

class TestHost {
 public:
  TestHost() { current_ = this; }
  ~TestHost() { current_ = nullptr; }
  TestHost(const TestHost&) = delete;
  TestHost& operator=(const TestHost&) = delete;

  ASIOCallbacks* Callbacks() { return &callbacks_; }

  // The driver and buffers the switches serve (set before start).
  void Serve(IASIO* driver, ASIOBufferInfo* infos, LONG count, LONG frames) {
    driver_ = driver;
    infos_ = infos;
    infoCount_ = count;
    frames_ = frames;
  }

  // Runs inside bufferSwitch after the outputs are filled and outputReady
  // was called, with the switch's number (from 1).
  std::function<void(long switchNumber)> onSwitch;
  // Runs inside asioMessage(kAsioResetRequest).
  std::function<void()> onReset;
  LONG timeInfoAnswer = 0;  // the reply to kAsioSupportsTimeInfo

  long Switches() const { return switches_.load(); }
  long TimeInfoSwitches() const { return timeInfoSwitches_.load(); }
  long ResetRequests() const { return resetRequests_.load(); }
  long TimeInfoQuestions() const { return timeInfoQuestions_.load(); }
  long OutputReadyErrors() const { return outputReadyErrors_.load(); }
  // The most kslib allocations one outputReady made on the switch thread.
  unsigned long MaxOutputReadyAllocations() const { return maxOutputReadyAllocations_.load(); }
  // Threads that called bufferSwitch, in order of their first call.
  std::vector<DWORD> SwitchThreads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
  }

  // Waits (without polling) until `predicate` holds; false after `ms`.
  bool WaitFor(const std::function<bool()>& predicate, int ms = 20000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), predicate);
  }
  bool WaitForSwitches(long count, int ms = 20000) {
    return WaitFor([this, count] { return switches_.load() >= count; }, ms);
  }

 private:
  static void BufferSwitch(LONG index, ASIOBool) { current_->OnSwitch(index); }
  static ASIOTime* BufferSwitchTimeInfo(ASIOTime*, LONG index, ASIOBool) {
    current_->timeInfoSwitches_++;
    current_->OnSwitch(index);
    return nullptr;
  }
  static void SampleRateDidChange(ASIOSampleRate) {}
  static LONG AsioMessage(LONG selector, LONG, void*, double*) {
    TestHost* host = current_;
    if (selector == kAsioSupportsTimeInfo) {
      host->timeInfoQuestions_++;
      return host->timeInfoAnswer;
    }
    if (selector == kAsioResetRequest) {
      host->resetRequests_++;
      if (host->onReset) host->onReset();
      host->Notify();
      return 1;
    }
    return 0;
  }

  void OnSwitch(LONG index) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const DWORD self = ::GetCurrentThreadId();
      bool known = false;
      for (DWORD t : threads_) known = known || t == self;
      if (!known) threads_.push_back(self);
    }
    for (LONG i = 0; i < infoCount_; ++i) {
      if (infos_[i].isInput != ASIOFalse || infos_[i].buffers[index] == nullptr) continue;
      auto* out = static_cast<int32_t*>(infos_[i].buffers[index]);
      for (LONG f = 0; f < frames_; ++f) out[f] = (fill_ + f) << 8;
    }
    fill_ += frames_;
    const unsigned long before = kslib::testing::AllocationCount();
    if (driver_->outputReady() != ASE_OK) outputReadyErrors_++;
    const unsigned long made = kslib::testing::AllocationCount() - before;
    if (made > maxOutputReadyAllocations_.load()) maxOutputReadyAllocations_ = made;
    const long number = ++switches_;
    if (onSwitch) onSwitch(number);
    Notify();
  }

  void Notify() {
    { std::lock_guard<std::mutex> lock(mutex_); }
    changed_.notify_all();
  }

  static inline TestHost* current_ = nullptr;
  ASIOCallbacks callbacks_{&BufferSwitch, &SampleRateDidChange, &AsioMessage, &BufferSwitchTimeInfo};
  IASIO* driver_ = nullptr;
  ASIOBufferInfo* infos_ = nullptr;
  LONG infoCount_ = 0;
  LONG frames_ = 0;
  int32_t fill_ = 0;
  std::atomic<long> switches_{0};
  std::atomic<long> timeInfoSwitches_{0};
  std::atomic<long> resetRequests_{0};
  std::atomic<long> timeInfoQuestions_{0};
  std::atomic<long> outputReadyErrors_{0};
  std::atomic<unsigned long> maxOutputReadyAllocations_{0};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<DWORD> threads_;
};

// One property request as the client sent it (the reply filter's view).
struct RecordedRequest {
  GUID set;
  ULONG id;
  ULONG flags;
  bool isPin;
  std::vector<BYTE> instance;  // the bytes after the KSPROPERTY
  std::vector<BYTE> value;     // the value buffer (SET: what was sent)
};

// Records every IOCTL_KS_PROPERTY request on a device path, and can fail
// chosen ones: `fail` decides per request (the kernel has already acted on
// it; the client sees STATUS_UNSUCCESSFUL).
class RequestRecorder {
 public:
  // Replies arrive on the driver's threads too: the rule changes under the
  // recorder's lock.
  void FailWhen(std::function<bool(const RecordedRequest&)> rule) {
    std::lock_guard<std::mutex> lock(mutex_);
    fail_ = std::move(rule);
  }

  platform::win32::KsReplyFilter Filter() {
    return [this](platform::win32::KsPropertyReply& reply) {
      if (reply.requestLength < sizeof(KSPROPERTY)) return;
      RecordedRequest r;
      KSPROPERTY p;
      std::memcpy(&p, reply.request, sizeof(p));
      r.set = p.Set;
      r.id = p.Id;
      r.flags = p.Flags;
      r.isPin = reply.isPin;
      const BYTE* in = static_cast<const BYTE*>(reply.request);
      r.instance.assign(in + sizeof(KSPROPERTY), in + reply.requestLength);
      if (reply.output != nullptr) {
        const BYTE* out = static_cast<const BYTE*>(reply.output);
        r.value.assign(out, out + reply.outputLength);
      }
      bool failIt = false;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        failIt = fail_ && fail_(r);
        requests_.push_back(std::move(r));
      }
      if (failIt) {
        reply.status = STATUS_UNSUCCESSFUL;
        reply.information = 0;
      }
    };
  }

  // The requests of the low-latency set with `id` and `flags` so far.
  std::vector<RecordedRequest> Asio(ULONG id, ULONG flags = kslib::kPropertySet) {
    std::vector<RecordedRequest> found;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const RecordedRequest& r : requests_) {
      if (kslib::SameGuid(r.set, KSPROPSETID_AsioChannel) && r.id == id && (r.flags & flags) == flags) {
        found.push_back(r);
      }
    }
    return found;
  }
  // KSPROPERTY_CONNECTION_STATE SET requests carrying `state`.
  size_t StateRequests(ULONG state) {
    size_t n = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const RecordedRequest& r : requests_) {
      ULONG v = 0xFFFFFFFF;
      if (r.value.size() >= sizeof(v)) std::memcpy(&v, r.value.data(), sizeof(v));
      if (kslib::SameGuid(r.set, kslib::kPropSetConnection) && r.id == kslib::kConnectionState &&
          r.flags == kslib::kPropertySet && v == state) {
        ++n;
      }
    }
    return n;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
  }

 private:
  std::mutex mutex_;
  std::function<bool(const RecordedRequest&)> fail_;
  std::vector<RecordedRequest> requests_;
};

inline ULONG Word(const std::vector<BYTE>& bytes, size_t index) {
  ULONG v = 0;
  if (bytes.size() >= (index + 1) * sizeof(v)) std::memcpy(&v, bytes.data() + index * sizeof(v), sizeof(v));
  return v;
}

}  // namespace asiotest
