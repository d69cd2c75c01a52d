// The wave-cyclic port's service routine: at every service request (the
// miniport's Notify) it reads the stream position and moves client data
// into the cyclic buffer (render, IDmaChannel::CopyTo) or out of it
// (capture, CopyFrom), never across the buffer's end in one call. Render
// buffer space the client has no data for holds the stream's silence.
#include "platform/kernel/portcls_host.h"

#include <algorithm>
#include <chrono>

#include "platform/kernel/io_manager.h"
#include "platform/kernel/portcls_internal.h"

namespace platform::portcls {

PinInstance::PinInstance() : PcObject(nullptr) {
  KeInitializeSpinLock(&lock);
  InitializeListHead(&requests);
  InitializeListHead(&finished);
}

STDMETHODIMP_(void) PinInstance::RequestService() {
  detail::RequireIrqlAtMost(DISPATCH_LEVEL, USBAUDIO_CALLER(), "IRQL_PORTCLS_ABOVE_DISPATCH", "service pass");
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
  const ULONGLONG pass = ++services;
  // A paused pin is not serviced; only the client's own data goes into its
  // buffer then (the data a RUN starts with). Its position is still
  // followed: a driver playing out what it holds may go a whole lap of the
  // buffer while paused, which one look at RUN could not tell from none.
  if (state == KSSTATE_RUN) {
    MoveData();
  } else if (state == KSSTATE_PAUSE && !capture && stream && dma) {
    ULONG position = 0;
    const ULONG size = dma->BufferSize();
    if (NT_SUCCESS(stream->GetPosition(&position)) && size && position < size) NotePlayed(position, size);
  }
  KeReleaseSpinLock(&lock, irql);
  CompleteFinished();
  std::lock_guard<std::mutex> done(passLock);
  servicesDone = std::max(servicesDone, pass);
  passDone.notify_all();
}

void PinInstance::ResetData() {
  bufferOffset = queued = lastStreamPosition = 0;
  silentBytes = 0;
  streamBytes = writeAbs = submitted = 0;  // the stream's byte counts start again
  if (capture) {
    clientData.clear();
    clientStart = 0;
  }
  // As portcls does on STOP: every queued stream request is cancelled.
  while (!IsListEmpty(&requests)) {
    PLIST_ENTRY entry = RemoveHeadList(&requests);
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    InsertTailList(&finished, entry);
  }
}

// Render: the bytes played since the last look leave the queued part.
void PinInstance::NotePlayed(ULONG position, ULONG size) {
  lastPosition = position;
  const ULONG played = (position + size - lastStreamPosition) % size;
  lastStreamPosition = position;
  streamBytes += played;
  queued = played >= queued ? 0 : queued - played;
  FinishPlayedRequests();
}

void PinInstance::MoveData() {
  if (!stream || !dma) return;
  ULONG position = 0;
  if (!NT_SUCCESS(stream->GetPosition(&position))) return;
  lastPosition = position;
  ULONG size = dma->BufferSize();
  UCHAR* base = static_cast<UCHAR*>(dma->SystemAddress());
  if (!size || !base || position >= size) return;

  if (!capture) {
    NotePlayed(position, size);
    NoteClientLateness();
    if (queued == 0) {  // start (or restart after running dry) at the play position
      bufferOffset = position;
      writeAbs = streamBytes;
    }
    if (base != silentBase || size != silentSize) {  // a new buffer knows no silence yet
      silentBase = base;
      silentSize = size;
      silentBytes = 0;
    }
    if (silentBytes && silentFrom != bufferOffset) {
      // Writing restarts at the play position: what lies between it and the
      // end of the silent part is still silent (the driver never writes here).
      ULONG into = (bufferOffset + size - silentFrom) % size;
      silentBytes = into < silentBytes ? silentBytes - into : 0;
    }
    silentFrom = bufferOffset;
    const ULONG copied = CopyClientData(base, size, size - queued);
    silentBytes = copied < silentBytes ? silentBytes - copied : 0;
    queued += copied;
    toBuffer += copied;
    FinishPlayedRequests();
    silentFrom = bufferOffset;
    FillSilence(base, size);
    return;
  }

  const ULONG available = (position + size - bufferOffset) % size;
  streamBytes += available;
  DeliverCapture(base, size, available);
}

// The driver has taken all the client wrote and nothing more waits: the
// client is late, and the stream goes on with silence (the buffer's, or the
// driver's own) until its next write. Timed, since a driver that pads with
// silence itself never moves its position past the client's data.
void PinInstance::NoteClientLateness() {
  if (state != KSSTATE_RUN) {
    dry = false;
    return;
  }
  const bool nothing = queued == 0 && PendingRenderBytes() == 0;
  const auto now = std::chrono::steady_clock::now();
  if (nothing && !dry) {
    dry = true;
    dryStart = now;
    if (!everDry) firstStarvedAt = streamBytes;
    everDry = true;
  } else if (!nothing && dry) {
    dry = false;
    WAVEFORMATEX wave{};
    const KSDATAFORMAT* f = reinterpret_cast<const KSDATAFORMAT*>(format.data());
    const ULONG length = static_cast<ULONG>(format.size() * sizeof(ULONGLONG));
    if (WaveFormatOf(f, length, &wave) && wave.nBlockAlign) {
      const double seconds = std::chrono::duration<double>(now - dryStart).count();
      starvedBytes += static_cast<ULONGLONG>(seconds * wave.nSamplesPerSec) * wave.nBlockAlign;
    }
  }
}

void PinInstance::FillSilence(UCHAR* base, ULONG size) {
  const ULONG free = size - queued;  // from bufferOffset up to the play position
  if (silentBytes >= free) {
    silentBytes = free;
    return;
  }
  ULONG at = (bufferOffset + silentBytes) % size;
  ULONG n = free - silentBytes;
  while (n) {
    ULONG chunk = std::min(n, size - at);
    stream->Silence(base + at, chunk);
    silenceWritten += chunk;
    at = (at + chunk) % size;
    n -= chunk;
  }
  silentBytes = free;
}

namespace {

PinInstance* PinOfHandle(HANDLE handle) {
  // A host hook: the pin may belong to a client process this thread is not in.
  PFILE_OBJECT file = detail::FileObjectOfAnyProcessHandle(handle);
  return KindOf(file) == ObjectKind::Pin ? PinOf(file) : nullptr;
}

}  // namespace

}  // namespace platform::portcls

namespace platform {

using portcls::PinInstance;

NTSTATUS PortPinInfoOf(HANDLE handle, PortPinInfo* info) {
  PinInstance* pin = portcls::PinOfHandle(handle);
  if (!pin) return STATUS_INVALID_HANDLE;
  KIRQL irql;
  KeAcquireSpinLock(&pin->lock, &irql);
  info->pinId = pin->pinId;
  info->capture = pin->capture;
  info->state = pin->state;
  info->bufferSize = pin->dma ? pin->dma->BufferSize() : 0;
  info->notificationFrameSize = pin->notificationFrameSize;
  info->services = pin->services;
  info->position = pin->lastPosition;
  info->bytesToBuffer = pin->toBuffer;
  info->bytesFromBuffer = pin->fromBuffer;
  info->queuedBytes = pin->capture ? 0 : pin->queued;
  info->silenceBytes = pin->silenceWritten;
  info->starvedBytes = pin->starvedBytes;
  info->firstStarvedAt = pin->firstStarvedAt;
  size_t held = pin->clientData.size() - pin->clientStart;
  info->pendingClientBytes = pin->capture ? 0 : held;
  info->availableClientBytes = pin->capture ? held : 0;
  if (!pin->capture) info->pendingClientBytes = static_cast<size_t>(pin->PendingRenderBytes());
  info->droppedCaptureBytes = pin->droppedCapture;
  for (PLIST_ENTRY e = pin->requests.Flink; e != &pin->requests; e = e->Flink) info->queuedRequests++;
  KeReleaseSpinLock(&pin->lock, irql);
  return STATUS_SUCCESS;
}

NTSTATUS PortPinWrite(HANDLE handle, const void* data, size_t bytes) {
  PinInstance* pin = portcls::PinOfHandle(handle);
  if (!pin) return STATUS_INVALID_HANDLE;
  if (pin->capture) return STATUS_INVALID_DEVICE_REQUEST;
  KIRQL irql;
  KeAcquireSpinLock(&pin->lock, &irql);
  const UCHAR* p = static_cast<const UCHAR*>(data);
  pin->clientData.insert(pin->clientData.end(), p, p + bytes);
  pin->submitted += bytes;
  // A paused pin takes it into its buffer now (what RUN starts with); a
  // running one at its next service pass.
  if (pin->state == KSSTATE_PAUSE) pin->MoveData();
  KeReleaseSpinLock(&pin->lock, irql);
  return STATUS_SUCCESS;
}

NTSTATUS PortPinRead(HANDLE handle, void* data, size_t bytes, size_t* read) {
  *read = 0;
  PinInstance* pin = portcls::PinOfHandle(handle);
  if (!pin) return STATUS_INVALID_HANDLE;
  if (!pin->capture) return STATUS_INVALID_DEVICE_REQUEST;
  KIRQL irql;
  KeAcquireSpinLock(&pin->lock, &irql);
  size_t n = std::min(bytes, pin->clientData.size() - pin->clientStart);
  if (n) memcpy(data, pin->clientData.data() + pin->clientStart, n);
  pin->clientStart += n;
  if (pin->clientStart == pin->clientData.size()) {
    pin->clientData.clear();
    pin->clientStart = 0;
  }
  KeReleaseSpinLock(&pin->lock, irql);
  *read = n;
  return STATUS_SUCCESS;
}

NTSTATUS PortPinWaitForService(HANDLE handle, ULONGLONG servicesSeen, ULONG timeoutMs) {
  PinInstance* pin = portcls::PinOfHandle(handle);
  if (!pin) return STATUS_INVALID_HANDLE;
  std::unique_lock<std::mutex> lock(pin->passLock);
  const bool served = pin->passDone.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                             [&] { return pin->servicesDone > servicesSeen; });
  return served ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

}  // namespace platform
