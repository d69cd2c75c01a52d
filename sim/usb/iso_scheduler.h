// The bus side of data transfers: a bus thread that owns the pending
// isochronous, bulk and interrupt transfers of every pipe, places them on
// the (micro)frame timeline as a host controller would, hands their packets
// to the device's EndpointDataHandler in (micro)frame order, and completes
// each transfer (at DISPATCH_LEVEL) once its last (micro)frame has passed.
//
// Isochronous rules: ASAP transfers follow the pipe's last queued transfer
// (or start at the next frame when the pipe ran dry); a given start frame
// that has already passed fails the whole URB (USBD_STATUS_ISOCH_REQUEST_FAILED,
// packets USBD_STATUS_BAD_START_FRAME, IRP STATUS_UNSUCCESSFUL); microframes
// of the current frame already gone are not accessed (late). OUT packet
// lengths come from the offsets; IN packets get their Length and Status.
#pragma once

#include <wdm.h>
#include <usb.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/usb/endpoint_data.h"
#include "sim/usb/frame_clock.h"

namespace sim {

// What the bus knows about an open pipe (from the selected alternate).
struct PipeConfig {
  uint8_t endpoint = 0;  // bEndpointAddress, bit 7 = IN
  USBD_PIPE_TYPE type = UsbdPipeTypeIsochronous;
  uint32_t maxPacket = 0;        // bytes per packet (high-bandwidth included)
  uint32_t unitsPerPacket = 1;   // service interval in (micro)frames
  bool In() const { return (endpoint & 0x80) != 0; }
};

struct TransferCounters {
  uint64_t submitted = 0;
  uint64_t completed = 0;
  uint64_t failed = 0;           // completed with an error IRP status
  uint64_t cancelled = 0;        // by abort, stall, alternate change or removal
  uint64_t latePackets = 0;      // iso packets whose (micro)frame had passed
  uint64_t asapRestarts = 0;     // ASAP transfers after the pipe had run dry
  uint64_t lateCompletions = 0;  // completed more than a frame after their end
  uint64_t lateWakeups = 0;      // the bus thread ran more than a frame behind its plan
  // Packets beyond the endpoint's maximum size: an OUT transfer refused for
  // one, or an IN packet the device babbled past it.
  uint64_t oversizedPackets = 0;
};

class IsoScheduler {
 public:
  // Completes an IRP with the given status at DISPATCH_LEVEL.
  using Completer = std::function<void(PIRP, NTSTATUS)>;

  IsoScheduler(const FrameClock& clock, Completer completer);
  // Completes whatever is still pending as cancelled.
  ~IsoScheduler();
  IsoScheduler(const IsoScheduler&) = delete;
  IsoScheduler& operator=(const IsoScheduler&) = delete;

  void SetHandler(EndpointDataHandler* handler);

  // Validates and queues an isochronous or bulk/interrupt URB for `pipe`
  // (identified by `pipeKey`). Returns STATUS_PENDING when queued (the IRP
  // is then marked pending and completed later); otherwise the URB status
  // is set and the caller completes the IRP with the returned status.
  NTSTATUS Submit(PIRP irp, PURB urb, const void* pipeKey, const PipeConfig& pipe);

  // Completes the pipe's pending transfers (STATUS_CANCELLED /
  // USBD_STATUS_CANCELED) before returning.
  void Abort(const void* pipeKey);
  // The same for every pipe, with the given statuses (removal, deconfigure).
  void AbortAll(NTSTATUS irpStatus, USBD_STATUS usbdStatus);
  // Forgets where the pipe's ASAP transfers would continue.
  void Reset(const void* pipeKey);
  void ClearStall(uint8_t endpoint);

  // Faults, by endpoint address. A stalled endpoint fails its pending and
  // new transfers with USBD_STATUS_STALL_PID until the pipe is reset.
  void Stall(uint8_t endpoint);
  bool IsStalled(uint8_t endpoint) const;
  // The next `count` transfers on the endpoint fail when due (no data moves).
  void FailNextTransfers(uint8_t endpoint, uint32_t count);
  // Transfers on the endpoint are kept pending until released or aborted.
  void HoldTransfers(uint8_t endpoint, bool hold);
  // Every completion is delivered this much later than its last (micro)frame.
  void SetCompletionDelay(std::chrono::milliseconds delay);

  TransferCounters Counters() const;
  size_t Pending() const;
  // The last (micro)frame handed to the handler, plus one.
  uint64_t ServedUnits() const;

 private:
  struct Transfer {
    PIRP irp = nullptr;
    PURB urb = nullptr;
    const void* pipeKey = nullptr;
    PipeConfig pipe;
    bool iso = true;
    uint8_t* buffer = nullptr;
    uint64_t startUnit = 0;
    uint64_t endUnit = 0;     // first unit after the last packet
    uint64_t dueUnit = 0;     // when to complete
    uint32_t nextPacket = 0;  // iso: next packet to serve
    bool fail = false;
    bool done = false;        // bulk/interrupt: data has moved
  };
  using TransferList = std::list<Transfer>;

  NTSTATUS SubmitIso(PIRP irp, PURB urb, const void* pipeKey, const PipeConfig& pipe);
  NTSTATUS SubmitBulk(PIRP irp, PURB urb, const void* pipeKey, const PipeConfig& pipe);
  void Queue(Transfer&& t);
  void Run();
  bool Completable(const Transfer& t) const;
  void ServeUnit(uint64_t unit);
  void ServeIsoPacket(Transfer& t, uint64_t unit);
  void ServeBulk(Transfer& t, uint64_t unit);
  void Finish(Transfer& t);
  void Cancel(Transfer& t, NTSTATUS irpStatus, USBD_STATUS usbdStatus);
  void CompleteBatch(std::vector<std::pair<PIRP, NTSTATUS>>& batch);

  const FrameClock& clock_;
  Completer completer_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::condition_variable idle_;
  EndpointDataHandler* handler_ = nullptr;
  TransferList transfers_;                     // in submission order
  std::map<const void*, uint64_t> nextUnit_;  // per pipe: after its last queued transfer
  std::map<uint8_t, bool> stalled_;
  std::map<uint8_t, uint32_t> failNext_;
  std::map<uint8_t, bool> held_;
  uint64_t delayUnits_ = 0;
  uint64_t served_ = 0;
  TransferCounters counters_;
  int completing_ = 0;  // batches being completed outside the lock
  bool stopping_ = false;
  std::thread::id busThreadId_;
  std::thread thread_;
};

}  // namespace sim
