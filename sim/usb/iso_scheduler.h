// The bus side of data transfers: a bus thread that owns the pending
// isochronous, bulk and interrupt transfers of every pipe, places them on
// the (micro)frame timeline as a host controller would, hands their packets
// to the device's EndpointDataHandler in (micro)frame order, and completes
// each transfer (at DISPATCH_LEVEL) once its last (micro)frame has passed.
//
// Completions are delivered on two completion threads (as the USB stack's
// DPCs run on more than one processor), each after the injected latency
// (platform::SetInjectedLatency). A pipe always completes on the same thread,
// so its transfers complete in order; different pipes may complete at once.
// Abort and removal return only once the cancelled transfers' completion
// routines have run.
//
// Isochronous rules, as the Windows USB stack checks them:
// - at most 1024 packets per URB at high speed, 256 at full speed;
// - at high speed with bInterval 1..3 the packet count is a multiple of
//   8, 4 or 2, so a transfer covers whole frames;
// - no packet is larger than the endpoint's wMaxPacketSize times its
//   transactions per microframe (both directions);
// - a buffer given by MDL is reached through its page frames: the MDL must be
//   live and describe its pages (built for non-paged pool or locked); one
//   that only has a virtual address is a verifier stop (a real controller
//   would DMA to whatever its empty page array names);
// breaking them fails the URB with USBD_STATUS_INVALID_PARAMETER /
// STATUS_INVALID_PARAMETER.
//
// Start frames: a start frame already passed fails the whole URB
// (USBD_STATUS_ISOCH_REQUEST_FAILED, packets USBD_STATUS_BAD_START_FRAME,
// IRP STATUS_UNSUCCESSFUL); one less than the start lead ahead of the current
// frame (IsoPolicy::startLeadFrames, 3 by default: the controller needs that
// long to put it into its schedule) or beyond USBD_ISO_START_FRAME_RANGE fails
// with USBD_STATUS_BAD_START_FRAME. Microframes of the current frame already
// gone are not accessed (late).
//
// ASAP transfers follow the pipe's last queued transfer. When the pipe has run
// dry (its last transfer ended before the bus got there), the policy decides
// (IsoPolicy::asapAfterGap):
// - KeepTimeline (default, what the Windows 8+ xHCI stack does): the transfer
//   is still placed right after the previous one; its packets whose frames
//   have passed, or are the current frame, are not accessed
//   (USBD_STATUS_ISO_NOT_ACCESSED_LATE) and the rest go out at their frames;
//   with every packet late the URB fails (USBD_STATUS_ISOCH_REQUEST_FAILED).
//   Only a pipe reset or abort starts the timeline afresh.
// - StartAfresh (older controllers' stacks): it starts the start lead ahead
//   of the current frame, every packet sent.
// OUT packet lengths come from the offsets; IN packets get their Length and Status.
#pragma once

#include <wdm.h>
#include <usb.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <deque>
#include <map>
#include <memory>
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

// How strict the bus is about isochronous scheduling (see the header comment).
enum class AsapAfterGap { KeepTimeline, StartAfresh };
struct IsoPolicy {
  uint32_t startLeadFrames = 3;
  AsapAfterGap asapAfterGap = AsapAfterGap::KeepTimeline;
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
  uint64_t packetErrors = 0;     // iso packets failed by an injected error
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
  void SetPolicy(const IsoPolicy& policy);
  IsoPolicy Policy() const;

  // Validates and queues an isochronous or bulk/interrupt URB for `pipe`
  // (identified by `pipeKey`). Returns STATUS_PENDING when queued (the IRP
  // is then marked pending and completed later); otherwise the URB status
  // is set and the caller completes the IRP with the returned status.
  NTSTATUS Submit(PIRP irp, PURB urb, const void* pipeKey, const PipeConfig& pipe);

  // Completes the pipe's pending transfers (STATUS_CANCELLED /
  // USBD_STATUS_CANCELED) before returning.
  void Abort(const void* pipeKey);
  // Transfers of the pipe not yet completed to their owner (queued on the
  // bus, or their completion routine not yet called).
  size_t PendingOn(const void* pipeKey) const;
  // The same for every pipe, with the given statuses (removal, deconfigure).
  void AbortAll(NTSTATUS irpStatus, USBD_STATUS usbdStatus);
  // Forgets where the pipe's ASAP transfers would continue.
  void Reset(const void* pipeKey);
  void ClearStall(uint8_t endpoint);

  // Faults, by endpoint address. A stalled bulk or interrupt endpoint fails
  // its pending and new transfers with USBD_STATUS_STALL_PID until the pipe
  // is reset. Isochronous endpoints have no handshake and cannot stall: their
  // faults are the packet errors below.
  void Stall(uint8_t endpoint);
  bool IsStalled(uint8_t endpoint) const;
  // The next `count` transfers on the endpoint fail when due (no data moves):
  // an isochronous one with every packet USBD_STATUS_XACT_ERROR (URB
  // USBD_STATUS_ISOCH_REQUEST_FAILED), a bulk/interrupt one with
  // USBD_STATUS_DEV_NOT_RESPONDING; both IRP STATUS_UNSUCCESSFUL.
  void FailNextTransfers(uint8_t endpoint, uint32_t count);
  // The next `count` isochronous packets the bus reaches on the endpoint
  // (after those of earlier calls) end with `status` (e.g. USBD_STATUS_XACT_ERROR, USBD_STATUS_DATA_OVERRUN,
  // USBD_STATUS_ISO_NOT_ACCESSED_LATE): no data moves for them. The transfer
  // succeeds unless all its packets failed.
  void FailNextPackets(uint8_t endpoint, uint32_t count, USBD_STATUS status);
  // While on, every pending and new transfer fails when due, as
  // FailNextTransfers (a device going away answers nothing).
  void FailEverything(bool on);
  // Transfers on the endpoint are kept pending until released or aborted.
  void HoldTransfers(uint8_t endpoint, bool hold);
  // Every completion is delivered this much later than its last (micro)frame.
  void SetCompletionDelay(std::chrono::milliseconds delay);

  TransferCounters Counters() const;
  size_t Pending() const;
  // The last (micro)frame handed to the handler, plus one.
  uint64_t ServedUnits() const;
  // Blocks until the bus has served every (micro)frame before `unit` (true),
  // or the timeout has passed first (false). The frame clock alone does not
  // say that: a descheduled bus thread serves the frames it missed later, and
  // until it has, an ASAP transfer still continues its pipe's timeline.
  bool WaitForServed(uint64_t unit, std::chrono::milliseconds timeout);

 private:
  struct PacketFault {
    uint32_t count = 0;
    USBD_STATUS status = USBD_STATUS_SUCCESS;
  };
  struct Completion {
    PIRP irp;
    NTSTATUS status;
    const void* pipeKey;
    bool fromBus;  // completed by the bus thread (it waits for those)
  };
  using Batch = std::vector<Completion>;
  // One completion thread and its queue.
  struct Lane {
    std::deque<Completion> queue;
    std::condition_variable wake;
    std::thread thread;
  };

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
  // Hands completions to their pipes' completion threads.
  void Deliver(Batch& batch);
  void RunLane(Lane& lane);
  // Waits (lock held) until nothing of the pipe (nullptr: of any pipe) is
  // pending or waiting for its completion routine.
  void WaitDelivered(std::unique_lock<std::mutex>& lock, const void* pipeKey);

  const FrameClock& clock_;
  Completer completer_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  EndpointDataHandler* handler_ = nullptr;
  TransferList transfers_;                     // in submission order
  std::map<const void*, uint64_t> nextUnit_;  // per pipe: after its last queued transfer
  std::map<uint8_t, bool> stalled_;
  std::map<uint8_t, uint32_t> failNext_;
  std::map<uint8_t, bool> held_;
  std::map<uint8_t, std::deque<PacketFault>> packetFaults_;
  std::map<uint8_t, bool> isoEndpoints_;  // endpoint address -> isochronous (as last submitted)
  bool failEverything_ = false;
  IsoPolicy policy_;
  std::map<const void*, size_t> delivering_;  // per pipe: completion routines not yet returned
  std::map<const void*, size_t> unstarted_;   // per pipe: completion routines not yet called
  std::condition_variable delivered_;
  std::vector<std::unique_ptr<Lane>> lanes_;
  std::map<const void*, size_t> laneOf_;
  size_t nextLane_ = 0;
  bool lanesStopping_ = false;
  size_t busUndelivered_ = 0;
  uint64_t delayUnits_ = 0;
  uint64_t served_ = 0;
  uint64_t servedWanted_ = 0;  // a waiter wants the bus to have served this far
  std::condition_variable servedAdvanced_;
  TransferCounters counters_;
  bool stopping_ = false;
  std::thread::id busThreadId_;
  std::thread thread_;
};

}  // namespace sim
