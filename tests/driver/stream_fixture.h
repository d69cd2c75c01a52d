// Setup of the isochronous and feedback tests: a profile's device with its
// streaming side on the bus, the driver's audio model on top, and a record of
// the isochronous URBs the driver submits.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "driver/runtime/pool_tags.h"
#include "driver/uac/usbaudiocl.h"
#include "sim/profiles/device_profile.h"
#include "sim/uac/audio_function_model.h"
#include "sim/uac/audio_streaming.h"
#include "sim/usb/sim_usb_device.h"
#include "tests/support/verifier_test.h"

namespace streamtest {

constexpr std::chrono::milliseconds kTimeout{10000};

struct IsoRecord {
  ULONG flags = 0;
  ULONG length = 0;
  PVOID buffer = nullptr;
  USHORT urbLength = 0;
  std::vector<USBD_ISO_PACKET_DESCRIPTOR> packets;
  std::vector<uint8_t> data;  // the transfer buffer (OUT transfers)
};

// Records every isochronous URB as the driver submits it (layout and OUT
// bytes), through the simulated device's hook in front of URB execution.
class UrbRecorder {
 public:
  // The hook; never takes the URB over.
  bool OnUrb(PURB urb) {
    if (urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER) return false;
    const auto& iso = urb->UrbIsochronousTransfer;
    IsoRecord r;
    r.flags = iso.TransferFlags;
    r.length = iso.TransferBufferLength;
    r.buffer = iso.TransferBuffer;
    r.urbLength = urb->UrbHeader.Length;
    r.packets.assign(iso.IsoPacket, iso.IsoPacket + iso.NumberOfPackets);
    const void* buffer = iso.TransferBuffer;
    if (buffer == nullptr && iso.TransferBufferMDL != nullptr) {
      buffer = MmGetSystemAddressForMdlSafe(iso.TransferBufferMDL, NormalPagePriority);
    }
    if ((iso.TransferFlags & USBD_TRANSFER_DIRECTION_IN) == 0 && buffer != nullptr) {
      const auto* p = static_cast<const uint8_t*>(buffer);
      r.data.assign(p, p + iso.TransferBufferLength);
    } else if (!recordIn_) {
      return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back(std::move(r));
    cv_.notify_all();
    return false;
  }
  void RecordIn(bool on) { recordIn_ = on; }

  bool WaitForRecords(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, kTimeout, [&] { return records_.size() >= count; });
  }
  std::vector<IsoRecord> Records() {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }
  void ClearRecords() {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.clear();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<IsoRecord> records_;
  std::atomic<bool> recordIn_{false};
};

// Counts completions of transfers sent with CountingCallback.
struct CompletionCounter {
  std::mutex mutex;
  std::condition_variable cv;
  int done = 0;
  NTSTATUS lastStatus = STATUS_SUCCESS;
  ULONG lastBytes = 0;
  std::vector<NTSTATUS> statuses;  // in completion order

  static VOID Callback(NTSTATUS status, ULONG bytes, PVOID context) {
    auto* self = static_cast<CompletionCounter*>(context);
    std::lock_guard<std::mutex> lock(self->mutex);
    ++self->done;
    self->statuses.push_back(status);
    self->lastStatus = status;
    self->lastBytes = bytes;
    self->cv.notify_all();
  }
  bool WaitFor(int count) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, kTimeout, [&] { return done >= count; });
  }
};

// A buffer described by an MDL, as the render path hands buffers to SendIsoOut.
class MdlBuffer {
 public:
  explicit MdlBuffer(size_t bytes = 0) { resize(bytes); }
  ~MdlBuffer() { Release(); }
  MdlBuffer(const MdlBuffer&) = delete;
  MdlBuffer& operator=(const MdlBuffer&) = delete;

  void resize(size_t bytes) {
    Release();
    bytes_.assign(bytes, 0);
    if (bytes == 0) return;
    mdl_ = IoAllocateMdl(bytes_.data(), static_cast<ULONG>(bytes), FALSE, FALSE, nullptr);
    if (mdl_) MmBuildMdlForNonPagedPool(mdl_);
  }
  uint8_t* data() { return bytes_.data(); }
  size_t size() const { return bytes_.size(); }
  uint8_t& operator[](size_t i) { return bytes_[i]; }
  PMDL Mdl() const { return mdl_; }

 private:
  void Release() {
    if (mdl_) IoFreeMdl(mdl_);
    mdl_ = nullptr;
  }
  std::vector<uint8_t> bytes_;
  PMDL mdl_ = nullptr;
};

class StreamTest : public VerifiedTest {
 protected:
  // Loads a profile; `edit` may change it (speed, options) before the device exists.
  void Start(const char* name, sim::StreamingOptions options = {},
             const std::function<void(sim::DeviceProfile&)>& edit = nullptr) {
    ASSERT_TRUE(sim::MakeProfile(name, profile_));
    if (edit) edit(profile_);
    model_ = std::make_unique<sim::AudioFunctionModel>(profile_.descriptors, profile_.audio);
    streaming_ = std::make_unique<sim::AudioStreaming>(profile_.descriptors, *model_, options);
    device_ = std::make_unique<sim::SimUsbDevice>(profile_.descriptors, model_.get());
    device_->SetEndpointHandler(streaming_.get());
    device_->SetUrbHook([this](PURB urb, NTSTATUS*) { return recorder_.OnUrb(urb); });
    audio_.reset(new (NonPagedPoolNx, POOLTAG_USB) CUSBAudioCL());
    ASSERT_TRUE(audio_);
    ASSERT_EQ(audio_->Init(device_->Pdo(), 0), STATUS_SUCCESS);
    ASSERT_EQ(audio_->Configure(), STATUS_SUCCESS);
    freeIrps_ = audio_->GetFreeIrpCount();
  }

  // Transfers may still be in flight or completing on the bus thread.
  // Aborting every open pipe cancels what is pending and returns only once
  // the bus has finished any completion it was delivering, so afterwards
  // every IRP must be back (a chain that resubmits on cancellation would
  // keep one).
  void WaitForIdleIrps() {
    for (StreamingInterface* s : {audio_->GetRenderInterface(), audio_->GetCaptureInterface()}) {
      if (s == nullptr) continue;
      for (PUSBD_PIPE_INFORMATION pipe : {s->DataPipe, s->FeedbackPipe}) {
        if (pipe != nullptr) audio_->AbortPipe(pipe);
      }
    }
    EXPECT_GE(audio_->GetFreeIrpCount(), freeIrps_) << "transfers still hold IRPs";
  }

  NTSTATUS SelectRender(ULONG channels, ULONG bits, ULONG rate) {
    ULONG c = 0, b = 0, maxBytes = 0;
    return audio_->SelectStreamingFormat(FALSE, channels, bits, rate, 1, &c, &b, &maxBytes);
  }
  NTSTATUS SelectCapture(ULONG channels, ULONG bits, ULONG rate) {
    ULONG c = 0, b = 0, maxBytes = 0;
    return audio_->SelectStreamingFormat(TRUE, channels, bits, rate, 1, &c, &b, &maxBytes);
  }

  StreamingInterface* Render() { return audio_->GetRenderInterface(); }

  static std::vector<ULONG> Lengths(const IsoRecord& r) {
    std::vector<ULONG> v;
    for (const auto& p : r.packets) v.push_back(p.Length);
    return v;
  }
  static bool OffsetsCumulative(const IsoRecord& r) {
    ULONG offset = 0;
    for (const auto& p : r.packets) {
      if (p.Offset != offset) return false;
      offset += p.Length;
    }
    return true;
  }

  void TearDown() override {
    if (audio_) WaitForIdleIrps();
    audio_.reset();
    device_.reset();
    streaming_.reset();
    model_.reset();
    VerifiedTest::TearDown();
  }

  sim::DeviceProfile profile_;
  std::unique_ptr<sim::AudioFunctionModel> model_;
  std::unique_ptr<sim::AudioStreaming> streaming_;
  std::unique_ptr<sim::SimUsbDevice> device_;
  std::unique_ptr<CUSBAudioCL> audio_;
  UrbRecorder recorder_;
  ULONG freeIrps_ = 0;
};

}  // namespace streamtest
