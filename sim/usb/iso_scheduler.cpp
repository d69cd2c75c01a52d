#include "sim/usb/iso_scheduler.h"

#include <sys/resource.h>

#include <algorithm>
#include <limits>

#include "platform/kernel/host_timing.h"
#include "platform/kernel/mdl_host.h"

namespace sim {

namespace {

constexpr ULONG kIsoPacketsOffset = FIELD_OFFSET(struct _URB_ISOCH_TRANSFER, IsoPacket);
constexpr ULONG kMaxPacketsFullSpeed = 256;
constexpr ULONG kMaxPacketsHighSpeed = 1024;
// Completion threads, as the USB stack's DPCs run on two processors.
constexpr size_t kCompletionLanes = 2;
// The bus thread running this many frames behind its plan tells the device
// (its xruns are then the bus's doing, not the driver's).
constexpr uint64_t kLateForDeviceFrames = 2;

// The controller reaches a buffer given by MDL through its page frames.
uint8_t* BufferOf(PVOID buffer, PMDL mdl, ULONG length) {
  if (buffer != nullptr) return static_cast<uint8_t*>(buffer);
  if (mdl == nullptr) return nullptr;
  return static_cast<uint8_t*>(platform::MdlBufferForDma(mdl, length, "USB transfer"));
}

NTSTATUS Fail(PURB urb, USBD_STATUS usbdStatus, NTSTATUS status) {
  urb->UrbHeader.Status = usbdStatus;
  return status;
}

// Bytes between packet i's offset and the next one's (or the buffer's end).
ULONG PacketSpan(const struct _URB_ISOCH_TRANSFER& iso, ULONG i) {
  const ULONG end = i + 1 < iso.NumberOfPackets ? iso.IsoPacket[i + 1].Offset : iso.TransferBufferLength;
  return end - iso.IsoPacket[i].Offset;
}

// Times the calling thread was preempted (runnable, but descheduled).
long InvoluntarySwitches() {
  rusage usage{};
  return getrusage(RUSAGE_THREAD, &usage) == 0 ? usage.ru_nivcsw : 0;
}

}  // namespace

IsoScheduler::IsoScheduler(const FrameClock& clock, Completer completer)
    : clock_(clock), completer_(std::move(completer)) {
  served_ = clock_.NowUnits();
  for (size_t i = 0; i < kCompletionLanes; ++i) {
    lanes_.push_back(std::make_unique<Lane>());
    Lane* lane = lanes_.back().get();
    lane->thread = std::thread([this, lane] { RunLane(*lane); });
  }
  thread_ = std::thread([this] { Run(); });
}

IsoScheduler::~IsoScheduler() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
  AbortAll(STATUS_CANCELLED, USBD_STATUS_CANCELED);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lanesStopping_ = true;
    for (auto& lane : lanes_) lane->wake.notify_all();
  }
  for (auto& lane : lanes_) lane->thread.join();
}

void IsoScheduler::SetPolicy(const IsoPolicy& policy) {
  std::lock_guard<std::mutex> lock(mutex_);
  policy_ = policy;
}

IsoPolicy IsoScheduler::Policy() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return policy_;
}

void IsoScheduler::SetHandler(EndpointDataHandler* handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handler_ = handler;
  changed_.notify_all();
}

// Submission ---------------------------------------------------------------------------

NTSTATUS IsoScheduler::Submit(PIRP irp, PURB urb, const void* pipeKey, const PipeConfig& pipe) {
  std::lock_guard<std::mutex> lock(mutex_);
  isoEndpoints_[pipe.endpoint] = pipe.type == UsbdPipeTypeIsochronous;
  if (pipe.type != UsbdPipeTypeIsochronous && stalled_[pipe.endpoint]) {
    return Fail(urb, USBD_STATUS_ENDPOINT_HALTED, STATUS_UNSUCCESSFUL);
  }
  if (urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER) return SubmitIso(irp, urb, pipeKey, pipe);
  return SubmitBulk(irp, urb, pipeKey, pipe);
}

NTSTATUS IsoScheduler::SubmitIso(PIRP irp, PURB urb, const void* pipeKey, const PipeConfig& pipe) {
  auto& iso = urb->UrbIsochronousTransfer;
  const bool highSpeed = clock_.HighSpeed();
  const uint32_t upf = clock_.UnitsPerFrame();
  const ULONG packets = iso.NumberOfPackets;
  uint8_t* buffer = BufferOf(iso.TransferBuffer, iso.TransferBufferMDL, iso.TransferBufferLength);
  if (pipe.type != UsbdPipeTypeIsochronous || packets == 0 ||
      packets > (highSpeed ? kMaxPacketsHighSpeed : kMaxPacketsFullSpeed) ||
      urb->UrbHeader.Length < kIsoPacketsOffset + packets * sizeof(USBD_ISO_PACKET_DESCRIPTOR) ||
      (buffer == nullptr && iso.TransferBufferLength != 0)) {
    return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  }
  // High-speed transfers cover whole frames, as the start frame counts frames.
  const uint32_t w = std::max<uint32_t>(pipe.unitsPerPacket, 1);
  if (highSpeed && w < upf && (static_cast<uint64_t>(packets) * w) % upf != 0) {
    return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  }
  for (ULONG i = 0; i < packets; ++i) {
    const ULONG offset = iso.IsoPacket[i].Offset;
    const ULONG next = i + 1 < packets ? iso.IsoPacket[i + 1].Offset : iso.TransferBufferLength;
    if (offset > iso.TransferBufferLength || next < offset) {
      return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    }
    if (next - offset > pipe.maxPacket) {
      if (!pipe.In()) ++counters_.oversizedPackets;
      return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    }
  }

  const uint64_t now = clock_.NowUnits();
  const uint64_t nowFrame = now / upf;
  uint64_t start = 0;
  // Packets before this unit are not accessed (late).
  uint64_t lateBefore = now;
  const bool asap = (iso.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) != 0;
  if (asap) {
    // The pipe continues where its last transfer ends unless the bus has
    // already served past that point (the bus's own lag does not count).
    auto next = nextUnit_.find(pipeKey);
    lateBefore = served_;
    if (next != nextUnit_.end() && next->second >= served_) {
      start = next->second;
    } else if (next != nextUnit_.end() && policy_.asapAfterGap == AsapAfterGap::KeepTimeline) {
      // Ran dry: the timeline holds; what it missed, and the current frame
      // the controller can no longer add to, is not accessed.
      start = next->second;
      lateBefore = std::max(served_, (nowFrame + 1) * upf);
      ++counters_.asapRestarts;
    } else {
      start = (nowFrame + policy_.startLeadFrames) * upf;
      if (next != nextUnit_.end()) ++counters_.asapRestarts;
    }
    iso.StartFrame = static_cast<ULONG>(start / upf);
  } else {
    const uint64_t frame = clock_.FrameFromNumber(iso.StartFrame);
    if (frame < nowFrame) {
      for (ULONG i = 0; i < packets; ++i) {
        iso.IsoPacket[i].Status = USBD_STATUS_BAD_START_FRAME;
        if (pipe.In()) iso.IsoPacket[i].Length = 0;
      }
      iso.ErrorCount = packets;
      counters_.latePackets += packets;
      if (pipe.In()) iso.TransferBufferLength = 0;
      return Fail(urb, USBD_STATUS_ISOCH_REQUEST_FAILED, STATUS_UNSUCCESSFUL);
    }
    if (frame < nowFrame + policy_.startLeadFrames || frame > nowFrame + USBD_ISO_START_FRAME_RANGE) {
      return Fail(urb, USBD_STATUS_BAD_START_FRAME, STATUS_UNSUCCESSFUL);
    }
    start = frame * upf;
  }
  const uint64_t end = start + static_cast<uint64_t>(packets) * w;
  if (end <= lateBefore) {
    // Every packet's (micro)frame has gone: nothing is scheduled.
    for (ULONG i = 0; i < packets; ++i) {
      iso.IsoPacket[i].Status = USBD_STATUS_ISO_NOT_ACCESSED_LATE;
      if (pipe.In()) iso.IsoPacket[i].Length = 0;
    }
    iso.ErrorCount = packets;
    counters_.latePackets += packets;
    if (pipe.In()) iso.TransferBufferLength = 0;
    nextUnit_[pipeKey] = end;
    return Fail(urb, USBD_STATUS_ISOCH_REQUEST_FAILED, STATUS_UNSUCCESSFUL);
  }

  Transfer t;
  t.irp = irp;
  t.urb = urb;
  t.pipeKey = pipeKey;
  t.pipe = pipe;
  t.pipe.unitsPerPacket = w;
  t.iso = true;
  t.buffer = buffer;
  t.startUnit = start;
  t.endUnit = end;
  t.dueUnit = t.endUnit + delayUnits_;
  // (Micro)frames that are already gone are skipped.
  for (ULONG i = 0; i < packets; ++i) {
    iso.IsoPacket[i].Status = USBD_STATUS_SUCCESS;
    if (pipe.In()) iso.IsoPacket[i].Length = 0;
    if (start + static_cast<uint64_t>(i) * w < lateBefore) {
      iso.IsoPacket[i].Status = USBD_STATUS_ISO_NOT_ACCESSED_LATE;
      t.nextPacket = i + 1;
      ++counters_.latePackets;
    }
  }
  iso.ErrorCount = 0;
  uint64_t& next = nextUnit_[pipeKey];
  next = std::max(next, t.endUnit);
  Queue(std::move(t));
  return STATUS_PENDING;
}

NTSTATUS IsoScheduler::SubmitBulk(PIRP irp, PURB urb, const void* pipeKey, const PipeConfig& pipe) {
  auto& bulk = urb->UrbBulkOrInterruptTransfer;
  uint8_t* buffer = BufferOf(bulk.TransferBuffer, bulk.TransferBufferMDL, bulk.TransferBufferLength);
  if ((pipe.type != UsbdPipeTypeBulk && pipe.type != UsbdPipeTypeInterrupt) ||
      urb->UrbHeader.Length < sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) ||
      (buffer == nullptr && bulk.TransferBufferLength != 0)) {
    return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  }
  Transfer t;
  t.irp = irp;
  t.urb = urb;
  t.pipeKey = pipeKey;
  t.pipe = pipe;
  t.pipe.unitsPerPacket = std::max<uint32_t>(pipe.unitsPerPacket, 1);
  t.iso = false;
  t.buffer = buffer;
  t.startUnit = clock_.NowUnits() + 1;
  t.endUnit = t.startUnit + 1;
  t.dueUnit = t.endUnit + delayUnits_;
  Queue(std::move(t));
  return STATUS_PENDING;
}

void IsoScheduler::Queue(Transfer&& t) {
  uint32_t& fail = failNext_[t.pipe.endpoint];
  if (fail != 0) {
    --fail;
    t.fail = true;
  }
  if (failEverything_) t.fail = true;
  IoMarkIrpPending(t.irp);
  transfers_.push_back(std::move(t));
  ++counters_.submitted;
  changed_.notify_all();
}

// The bus thread -----------------------------------------------------------------------

void IsoScheduler::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  busThreadId_ = std::this_thread::get_id();
  const uint64_t upf = clock_.UnitsPerFrame();
  // The unit this thread meant to run at (none while it waits for work).
  uint64_t meant = std::numeric_limits<uint64_t>::max();
  while (!stopping_) {
    // Catch up with the clock one completion at a time, so that what a
    // completion routine submits joins the timeline where that completion
    // was due, however late this thread runs.
    const uint64_t now = clock_.NowUnits();
    if (meant != std::numeric_limits<uint64_t>::max() && now > meant + upf) {
      ++counters_.lateWakeups;
      // A frame or two late is within what the transfers queued ahead cover.
      if (handler_ != nullptr && now > meant + kLateForDeviceFrames * upf) handler_->OnBusLate(now);
    }
    meant = now;  // it goes on at once unless it waits below
    uint64_t until = now;
    for (const Transfer& t : transfers_) {
      if (Completable(t) && t.dueUnit > served_) until = std::min(until, t.dueUnit);
    }
    for (uint64_t unit = served_; unit < until && !transfers_.empty(); ++unit) ServeUnit(unit);
    if (until > served_) {
      served_ = until;
      if (servedWanted_ != 0) servedAdvanced_.notify_all();
    }
    if (handler_ != nullptr) handler_->AdvanceTo(served_);

    Batch batch;
    for (auto it = transfers_.begin(); it != transfers_.end();) {
      Transfer& t = *it;
      if (!Completable(t) || t.dueUnit > served_) {
        ++it;
        continue;
      }
      if (now > t.dueUnit + upf) ++counters_.lateCompletions;
      Finish(t);
      batch.push_back(Completion{t.irp, t.irp->IoStatus.Status, t.pipeKey, true});
      it = transfers_.erase(it);
    }
    if (!batch.empty()) {
      const long preempted = InvoluntarySwitches();
      Deliver(batch);
      // The completion routines run on the completion threads; what they
      // submit must join the timeline before the bus serves further.
      delivered_.wait(lock, [this] { return busUndelivered_ == 0 || stopping_; });
      // Time the driver's completion routines took is theirs, unless the
      // scheduler took the processor away meanwhile.
      if (InvoluntarySwitches() == preempted) meant = clock_.NowUnits();
      continue;  // completions may have queued more work
    }

    if (served_ < now) continue;  // more to catch up with

    uint64_t wake = std::numeric_limits<uint64_t>::max();
    for (const Transfer& t : transfers_) {
      if (held_[t.pipe.endpoint]) continue;
      if (!t.iso && !t.done && !t.fail) {
        wake = std::min(wake, std::max(t.startUnit + 1, now + 1));
      } else {
        wake = std::min(wake, t.dueUnit);
      }
    }
    if (handler_ != nullptr && handler_->WantsTicks()) wake = std::min(wake, (now / upf + 1) * upf);
    if (servedWanted_ > served_) wake = std::min(wake, servedWanted_);
    meant = wake;
    if (wake == std::numeric_limits<uint64_t>::max()) {
      changed_.wait(lock);
    } else {
      changed_.wait_until(lock, clock_.TimeOfUnit(wake));
    }
  }
}

bool IsoScheduler::Completable(const Transfer& t) const {
  auto held = held_.find(t.pipe.endpoint);
  if (held != held_.end() && held->second) return false;
  return t.iso || t.done || t.fail;
}

void IsoScheduler::ServeUnit(uint64_t unit) {
  for (Transfer& t : transfers_) {
    if (unit < t.startUnit || t.fail || held_[t.pipe.endpoint]) continue;
    if (t.iso) {
      ServeIsoPacket(t, unit);
    } else {
      ServeBulk(t, unit);
    }
  }
}

void IsoScheduler::ServeIsoPacket(Transfer& t, uint64_t unit) {
  auto& iso = t.urb->UrbIsochronousTransfer;
  if (t.nextPacket >= iso.NumberOfPackets) return;
  const uint64_t at = t.startUnit + static_cast<uint64_t>(t.nextPacket) * t.pipe.unitsPerPacket;
  if (at != unit) return;
  const ULONG i = t.nextPacket++;
  USBD_ISO_PACKET_DESCRIPTOR& packet = iso.IsoPacket[i];
  uint8_t* data = t.buffer != nullptr ? t.buffer + packet.Offset : nullptr;
  const ULONG span = PacketSpan(iso, i);
  auto fault = packetFaults_.find(t.pipe.endpoint);
  if (fault != packetFaults_.end() && !fault->second.empty()) {
    // Lost on the wire (or never reached): no data moves.
    packet.Status = fault->second.front().status;
    if (--fault->second.front().count == 0) fault->second.pop_front();
    if (t.pipe.In()) packet.Length = 0;
    ++counters_.packetErrors;
    return;
  }
  if (!t.pipe.In()) {
    if (handler_ != nullptr) handler_->OnOutPacket(t.pipe.endpoint, unit, data, span);
    packet.Status = USBD_STATUS_SUCCESS;
    return;
  }
  const uint32_t room = std::min<uint32_t>(span, t.pipe.maxPacket);
  int32_t produced = handler_ != nullptr && data != nullptr
                         ? handler_->OnInPacket(t.pipe.endpoint, unit, data, room) : 0;
  if (produced < 0) produced = 0;
  if (static_cast<uint32_t>(produced) > room) {
    // The device babbled past the room the host gave it.
    if (static_cast<uint32_t>(produced) > t.pipe.maxPacket) ++counters_.oversizedPackets;
    packet.Length = 0;
    packet.Status = USBD_STATUS_DATA_OVERRUN;
    return;
  }
  packet.Length = static_cast<ULONG>(produced);
  packet.Status = USBD_STATUS_SUCCESS;
}

void IsoScheduler::ServeBulk(Transfer& t, uint64_t unit) {
  if (t.done || unit < t.startUnit) return;
  auto& bulk = t.urb->UrbBulkOrInterruptTransfer;
  if (!t.pipe.In()) {
    if (handler_ != nullptr) handler_->OnOutPacket(t.pipe.endpoint, unit, t.buffer, bulk.TransferBufferLength);
  } else {
    const int32_t produced = handler_ != nullptr && t.buffer != nullptr
                                 ? handler_->OnInPacket(t.pipe.endpoint, unit, t.buffer, bulk.TransferBufferLength)
                                 : 0;
    if (produced < 0) {  // NAK: asked again after the polling interval
      t.startUnit = unit + t.pipe.unitsPerPacket;
      return;
    }
    bulk.TransferBufferLength = std::min<ULONG>(static_cast<ULONG>(produced), bulk.TransferBufferLength);
  }
  t.done = true;
  t.endUnit = unit + 1;
  t.dueUnit = t.endUnit + delayUnits_;
}

void IsoScheduler::Finish(Transfer& t) {
  NTSTATUS status = STATUS_SUCCESS;
  if (t.iso) {
    auto& iso = t.urb->UrbIsochronousTransfer;
    ULONG errors = 0;
    ULONG received = 0;
    for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
      if (t.fail) {
        iso.IsoPacket[i].Status = USBD_STATUS_XACT_ERROR;
        if (t.pipe.In()) iso.IsoPacket[i].Length = 0;
      }
      if (!USBD_SUCCESS(iso.IsoPacket[i].Status)) ++errors;
      if (t.pipe.In()) received += iso.IsoPacket[i].Length;
    }
    iso.ErrorCount = errors;
    if (t.pipe.In()) iso.TransferBufferLength = received;
    const bool failed = errors == iso.NumberOfPackets;
    t.urb->UrbHeader.Status = failed ? USBD_STATUS_ISOCH_REQUEST_FAILED : USBD_STATUS_SUCCESS;
    status = failed ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
  } else if (t.fail) {
    t.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    t.urb->UrbHeader.Status = USBD_STATUS_DEV_NOT_RESPONDING;
    status = STATUS_UNSUCCESSFUL;
  } else {
    t.urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
  }
  t.irp->IoStatus.Status = status;
  ++counters_.completed;
  if (!NT_SUCCESS(status)) ++counters_.failed;
}

void IsoScheduler::Cancel(Transfer& t, NTSTATUS irpStatus, USBD_STATUS usbdStatus) {
  if (t.iso) {
    auto& iso = t.urb->UrbIsochronousTransfer;
    ULONG errors = 0;
    ULONG received = 0;
    for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
      if (i >= t.nextPacket) {
        iso.IsoPacket[i].Status = usbdStatus;
        if (t.pipe.In()) iso.IsoPacket[i].Length = 0;
      }
      if (!USBD_SUCCESS(iso.IsoPacket[i].Status)) ++errors;
      if (t.pipe.In()) received += iso.IsoPacket[i].Length;
    }
    iso.ErrorCount = errors;
    if (t.pipe.In()) iso.TransferBufferLength = received;
  } else if (!t.done) {
    t.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
  }
  t.urb->UrbHeader.Status = usbdStatus;
  t.irp->IoStatus.Status = irpStatus;
  ++counters_.completed;
  ++counters_.failed;
  ++counters_.cancelled;
}

void IsoScheduler::Deliver(Batch& batch) {
  // Called with the lock held.
  for (const Completion& c : batch) {
    ++delivering_[c.pipeKey];
    ++unstarted_[c.pipeKey];
    if (c.fromBus) ++busUndelivered_;
    // A pipe keeps its thread (its completions stay in order); pipes take
    // the threads in turn as they first complete.
    auto lane = laneOf_.find(c.pipeKey);
    if (lane == laneOf_.end()) lane = laneOf_.emplace(c.pipeKey, nextLane_++ % lanes_.size()).first;
    Lane& target = *lanes_[lane->second];
    target.queue.push_back(c);
    target.wake.notify_one();
  }
  batch.clear();
}

void IsoScheduler::RunLane(Lane& lane) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    lane.wake.wait(lock, [&] { return lanesStopping_ || !lane.queue.empty(); });
    if (lane.queue.empty()) return;
    const Completion c = lane.queue.front();
    lane.queue.pop_front();
    lock.unlock();
    platform::detail::InjectLatency();
    lock.lock();
    // From here the transfer is the driver's again (its routine runs).
    auto unstarted = unstarted_.find(c.pipeKey);
    if (unstarted != unstarted_.end() && --unstarted->second == 0) unstarted_.erase(unstarted);
    lock.unlock();
    completer_(c.irp, c.status);
    lock.lock();
    auto it = delivering_.find(c.pipeKey);
    if (it != delivering_.end() && --it->second == 0) delivering_.erase(it);
    if (c.fromBus) --busUndelivered_;
    delivered_.notify_all();
  }
}

void IsoScheduler::WaitDelivered(std::unique_lock<std::mutex>& lock, const void* pipeKey) {
  delivered_.wait(lock, [&] { return pipeKey == nullptr ? delivering_.empty() : delivering_.count(pipeKey) == 0; });
}

// Pipe operations and faults ---------------------------------------------------------

void IsoScheduler::Abort(const void* pipeKey) {
  std::unique_lock<std::mutex> lock(mutex_);
  Batch batch;
  for (auto it = transfers_.begin(); it != transfers_.end();) {
    if (it->pipeKey != pipeKey) {
      ++it;
      continue;
    }
    Cancel(*it, STATUS_CANCELLED, USBD_STATUS_CANCELED);
    batch.push_back(Completion{it->irp, STATUS_CANCELLED, pipeKey, false});
    it = transfers_.erase(it);
  }
  nextUnit_.erase(pipeKey);
  Deliver(batch);
  // A transfer whose completion routine has not yet run counts as pending.
  WaitDelivered(lock, pipeKey);
}

void IsoScheduler::AbortAll(NTSTATUS irpStatus, USBD_STATUS usbdStatus) {
  std::unique_lock<std::mutex> lock(mutex_);
  Batch batch;
  for (Transfer& t : transfers_) {
    Cancel(t, irpStatus, usbdStatus);
    batch.push_back(Completion{t.irp, irpStatus, t.pipeKey, false});
  }
  transfers_.clear();
  nextUnit_.clear();
  Deliver(batch);
  WaitDelivered(lock, nullptr);
}

size_t IsoScheduler::PendingOn(const void* pipeKey) const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t n = 0;
  for (const Transfer& t : transfers_) n += t.pipeKey == pipeKey ? 1 : 0;
  auto it = unstarted_.find(pipeKey);
  return n + (it == unstarted_.end() ? 0 : it->second);
}

void IsoScheduler::Reset(const void* pipeKey) {
  std::lock_guard<std::mutex> lock(mutex_);
  nextUnit_.erase(pipeKey);
}

void IsoScheduler::ClearStall(uint8_t endpoint) {
  std::lock_guard<std::mutex> lock(mutex_);
  stalled_[endpoint] = false;
}

void IsoScheduler::Stall(uint8_t endpoint) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto iso = isoEndpoints_.find(endpoint);
  if (iso != isoEndpoints_.end() && iso->second) return;  // isochronous endpoints have no handshake to stall with
  stalled_[endpoint] = true;
  Batch batch;
  for (auto it = transfers_.begin(); it != transfers_.end();) {
    if (it->pipe.endpoint != endpoint || it->iso) {
      ++it;
      continue;
    }
    Cancel(*it, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    --counters_.cancelled;
    batch.push_back(Completion{it->irp, STATUS_UNSUCCESSFUL, it->pipeKey, false});
    it = transfers_.erase(it);
  }
  Deliver(batch);
}

bool IsoScheduler::IsStalled(uint8_t endpoint) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = stalled_.find(endpoint);
  return it != stalled_.end() && it->second;
}

void IsoScheduler::FailNextTransfers(uint8_t endpoint, uint32_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  failNext_[endpoint] = count;
}

void IsoScheduler::FailNextPackets(uint8_t endpoint, uint32_t count, USBD_STATUS status) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (count != 0) packetFaults_[endpoint].push_back(PacketFault{count, status});
}

void IsoScheduler::FailEverything(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  failEverything_ = on;
  if (on) {
    for (Transfer& t : transfers_) t.fail = true;
  }
  changed_.notify_all();
}

void IsoScheduler::HoldTransfers(uint8_t endpoint, bool hold) {
  std::lock_guard<std::mutex> lock(mutex_);
  held_[endpoint] = hold;
  changed_.notify_all();
}

void IsoScheduler::SetCompletionDelay(std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> lock(mutex_);
  delayUnits_ = static_cast<uint64_t>(delay / clock_.UnitDuration());
}

TransferCounters IsoScheduler::Counters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counters_;
}

size_t IsoScheduler::Pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return transfers_.size();
}

uint64_t IsoScheduler::ServedUnits() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return served_;
}

bool IsoScheduler::WaitForServed(uint64_t unit, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (served_ >= unit) return true;
  // An idle bus thread sleeps until its next transfer is due: it is woken to
  // serve up to the unit even with nothing queued.
  servedWanted_ = std::max(servedWanted_, unit);
  changed_.notify_all();
  const bool served = servedAdvanced_.wait_for(lock, timeout, [&] { return served_ >= unit; });
  if (served_ >= servedWanted_) servedWanted_ = 0;
  return served;
}

}  // namespace sim
