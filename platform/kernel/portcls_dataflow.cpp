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

PinInstance::PinInstance() : PcObject(nullptr) { KeInitializeSpinLock(&lock); }

STDMETHODIMP_(void) PinInstance::RequestService() {
  detail::RequireIrqlAtMost(DISPATCH_LEVEL, USBAUDIO_CALLER(), "IRQL_PORTCLS_ABOVE_DISPATCH", "service pass");
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
  const ULONGLONG pass = ++services;
  // A paused pin is not serviced; only the client's own data goes into its
  // buffer then (the data a RUN starts with).
  if (state == KSSTATE_RUN) MoveData();
  KeReleaseSpinLock(&lock, irql);
  std::lock_guard<std::mutex> done(passLock);
  servicesDone = std::max(servicesDone, pass);
  passDone.notify_all();
}

void PinInstance::ResetData() {
  bufferOffset = queued = lastStreamPosition = 0;
  silentBytes = 0;
  if (capture) {
    clientData.clear();
    clientStart = 0;
  }
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
    ULONG played = (position + size - lastStreamPosition) % size;
    lastStreamPosition = position;
    streamBytes += played;
    queued = played >= queued ? 0 : queued - played;
    NoteClientLateness();
    if (queued == 0) bufferOffset = position;  // start (or restart after running dry) at the play position
    size_t pending = clientData.size() - clientStart;
    ULONG n = static_cast<ULONG>(std::min<size_t>(pending, size - queued));
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
    while (n) {
      ULONG chunk = std::min(n, size - bufferOffset);
      dma->CopyTo(base + bufferOffset, clientData.data() + clientStart, chunk);
      silentBytes = chunk < silentBytes ? silentBytes - chunk : 0;
      clientStart += chunk;
      bufferOffset = (bufferOffset + chunk) % size;
      queued += chunk;
      toBuffer += chunk;
      n -= chunk;
    }
    if (clientStart == clientData.size()) {
      clientData.clear();
      clientStart = 0;
    }
    silentFrom = bufferOffset;
    FillSilence(base, size);
    return;
  }

  ULONG available = (position + size - bufferOffset) % size;
  while (available) {
    ULONG chunk = std::min(available, size - bufferOffset);
    size_t at = clientData.size();
    clientData.resize(at + chunk);
    dma->CopyFrom(clientData.data() + at, base + bufferOffset, chunk);
    bufferOffset = (bufferOffset + chunk) % size;
    fromBuffer += chunk;
    available -= chunk;
  }
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
  const bool nothing = queued == 0 && clientStart == clientData.size();
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
  PFILE_OBJECT file = IoFileObjectOfHandle(handle);
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
