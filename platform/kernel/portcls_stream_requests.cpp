// KS stream requests on a wave-cyclic pin: IOCTL_KS_WRITE_STREAM and
// IOCTL_KS_READ_STREAM IRPs whose buffer holds KSSTREAM_HEADERs. They are
// queued pending and cancel-safe; the service pass copies render data from
// them into the cyclic buffer (CopyTo) and completes each once the play
// position has passed all its data, and fills capture requests from the
// buffer (CopyFrom) up to the record position, completing each when full.
// Going to STOP (and closing) completes every queued request as cancelled.
#include <wdm.h>
#include <ks.h>

#include <algorithm>
#include <cstdlib>

#include "platform/kernel/portcls_internal.h"

namespace platform::portcls {

namespace {

// What the port keeps of one request: a copy of its headers (KS probes and
// copies them) and how far the pass got in them.
struct StreamRequest {
  PinInstance* pin;
  ULONG count;         // headers
  ULONG headerBytes;   // the caller's header buffer length (the IRP's Information)
  ULONG index;         // header being copied
  ULONG offset;        // bytes of it copied
  bool allCopied;      // render: every byte is in the cyclic buffer
  ULONGLONG endAbs;    // render: stream byte just after its last byte
  KSSTREAM_HEADER headers[1];
};

StreamRequest* RequestOf(PIRP irp) { return static_cast<StreamRequest*>(irp->Tail.Overlay.DriverContext[0]); }
PIRP IrpOf(PLIST_ENTRY entry) { return CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry); }

ULONG HeaderBytes(const KSSTREAM_HEADER& h, bool write) { return write ? h.DataUsed : h.FrameExtent; }

// Frees the request's record and completes its IRP with `status`.
void CompleteRequest(PIRP irp, NTSTATUS status) {
  free(RequestOf(irp));
  irp->Tail.Overlay.DriverContext[0] = NULL;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

VOID NTAPI CancelStreamRequest(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  StreamRequest* request = RequestOf(irp);
  PinInstance* pin = request->pin;
  KIRQL irql;
  KeAcquireSpinLock(&pin->lock, &irql);
  // Self-linked once taken off the queue by a pass or STOP: then a no-op.
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  InitializeListHead(&irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&pin->lock, irql);
  CompleteRequest(irp, STATUS_CANCELLED);
}

// Off the queue onto `finished` with its final status. Caller holds the lock.
void Finish(PinInstance* pin, PIRP irp, NTSTATUS status) {
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = NT_SUCCESS(status) ? RequestOf(irp)->headerBytes : 0;
  InsertTailList(&pin->finished, &irp->Tail.Overlay.ListEntry);
}

}  // namespace

NTSTATUS QueueStreamRequest(PinInstance* pin, PIRP irp, bool write) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  const ULONG length = sp->Parameters.DeviceIoControl.OutputBufferLength;
  const UCHAR* user = static_cast<const UCHAR*>(irp->UserBuffer);
  NTSTATUS status = STATUS_SUCCESS;
  if (write == pin->capture) status = STATUS_INVALID_DEVICE_REQUEST;
  else if (!user || length < sizeof(KSSTREAM_HEADER)) status = STATUS_INVALID_BUFFER_SIZE;
  // The headers, each stepping by its own Size (extended headers are larger).
  ULONG count = 0;
  for (ULONG at = 0; NT_SUCCESS(status) && at < length; ++count) {
    KSSTREAM_HEADER h;
    if (length - at < sizeof h) {
      status = STATUS_INVALID_BUFFER_SIZE;
      break;
    }
    memcpy(&h, user + at, sizeof h);
    if (h.Size < sizeof h || h.Size > length - at || (write && h.DataUsed > h.FrameExtent) ||
        (HeaderBytes(h, write) && !h.Data))
      status = STATUS_INVALID_PARAMETER;
    at += h.Size ? h.Size : length;
  }
  StreamRequest* request = nullptr;
  if (NT_SUCCESS(status)) {
    request = static_cast<StreamRequest*>(malloc(sizeof(StreamRequest) + count * sizeof(KSSTREAM_HEADER)));
    if (!request) status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (!NT_SUCCESS(status)) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  request->pin = pin;
  request->count = count;
  request->headerBytes = length;
  request->index = request->offset = 0;
  request->allCopied = false;
  request->endAbs = 0;
  for (ULONG i = 0, at = 0; i < count; ++i) {
    memcpy(&request->headers[i], user + at, sizeof(KSSTREAM_HEADER));
    at += request->headers[i].Size;
    if (!write) request->headers[i].DataUsed = 0;
  }
  irp->Tail.Overlay.DriverContext[0] = request;

  KIRQL irql;
  KeAcquireSpinLock(&pin->lock, &irql);
  if (pin->state == KSSTATE_STOP) {  // as KS refuses streaming on a stopped pin
    KeReleaseSpinLock(&pin->lock, irql);
    CompleteRequest(irp, STATUS_INVALID_DEVICE_STATE);
    return STATUS_INVALID_DEVICE_STATE;
  }
  IoMarkIrpPending(irp);
  pin->streamingClient = true;
  if (write) {
    for (ULONG i = 0; i < count; ++i) pin->submitted += request->headers[i].DataUsed;
  }
  InsertTailList(&pin->requests, &irp->Tail.Overlay.ListEntry);
  IoSetCancelRoutine(irp, CancelStreamRequest);
  if (irp->Cancel && IoSetCancelRoutine(irp, NULL)) {
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&pin->lock, irql);
    CompleteRequest(irp, STATUS_CANCELLED);
    return STATUS_PENDING;
  }
  // A paused render pin takes it into its buffer now (what RUN starts with).
  if (write && pin->state == KSSTATE_PAUSE) pin->MoveData();
  KeReleaseSpinLock(&pin->lock, irql);
  pin->CompleteFinished();
  return STATUS_PENDING;
}

void PinInstance::CompleteFinished() {
  for (;;) {
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    if (IsListEmpty(&finished)) {
      KeReleaseSpinLock(&lock, irql);
      return;
    }
    PIRP irp = IrpOf(RemoveHeadList(&finished));
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&lock, irql);
    // The cancel routine, once it has been called, owns the IRP.
    if (!IoSetCancelRoutine(irp, NULL)) continue;
    StreamRequest* request = RequestOf(irp);
    if (capture && NT_SUCCESS(irp->IoStatus.Status)) {
      // KS copies the headers back: DataUsed tells the client what it got.
      UCHAR* user = static_cast<UCHAR*>(irp->UserBuffer);
      for (ULONG i = 0, at = 0; i < request->count; ++i) {
        memcpy(user + at + offsetof(KSSTREAM_HEADER, DataUsed), &request->headers[i].DataUsed, sizeof(ULONG));
        at += request->headers[i].Size;
      }
    }
    free(request);
    irp->Tail.Overlay.DriverContext[0] = NULL;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

ULONGLONG PinInstance::PendingRenderBytes() const {
  ULONGLONG bytes = clientData.size() - clientStart;
  for (PLIST_ENTRY e = requests.Flink; e != &requests; e = e->Flink) {
    const StreamRequest* r = RequestOf(IrpOf(e));
    if (r->allCopied) continue;
    for (ULONG i = r->index; i < r->count; ++i) bytes += r->headers[i].DataUsed - (i == r->index ? r->offset : 0);
  }
  return bytes;
}

ULONG PinInstance::CopyClientData(UCHAR* base, ULONG size, ULONG room) {
  ULONG copied = 0;
  auto put = [&](const UCHAR* from, ULONG n) {
    while (n) {
      const ULONG chunk = std::min(n, size - bufferOffset);
      dma->CopyTo(base + bufferOffset, const_cast<UCHAR*>(from), chunk);
      bufferOffset = (bufferOffset + chunk) % size;
      from += chunk;
      n -= chunk;
      copied += chunk;
      writeAbs += chunk;
    }
  };
  for (PLIST_ENTRY e = requests.Flink; e != &requests && copied < room; e = e->Flink) {
    StreamRequest* r = RequestOf(IrpOf(e));
    while (!r->allCopied && copied < room) {
      if (r->index == r->count) {
        r->allCopied = true;
        r->endAbs = writeAbs;
        break;
      }
      const KSSTREAM_HEADER& h = r->headers[r->index];
      const ULONG n = std::min(h.DataUsed - r->offset, room - copied);
      put(static_cast<const UCHAR*>(h.Data) + r->offset, n);
      r->offset += n;
      if (r->offset == h.DataUsed) {
        r->index++;
        r->offset = 0;
      }
    }
    if (!r->allCopied && r->index == r->count) {
      r->allCopied = true;
      r->endAbs = writeAbs;
    }
  }
  if (copied < room && clientStart < clientData.size()) {
    const ULONG n = static_cast<ULONG>(std::min<size_t>(room - copied, clientData.size() - clientStart));
    put(clientData.data() + clientStart, n);
    clientStart += n;
    if (clientStart == clientData.size()) {
      clientData.clear();
      clientStart = 0;
    }
  }
  return copied;
}

void PinInstance::FinishPlayedRequests() {
  for (PLIST_ENTRY e = requests.Flink; e != &requests;) {
    PIRP irp = IrpOf(e);
    e = e->Flink;
    const StreamRequest* r = RequestOf(irp);
    if (!r->allCopied || r->endAbs > streamBytes) break;  // in order: later ones end later
    Finish(this, irp, STATUS_SUCCESS);
  }
}

void PinInstance::DeliverCapture(UCHAR* base, ULONG size, ULONG bytes) {
  while (bytes) {
    const ULONG chunk = std::min(bytes, size - bufferOffset);
    ULONG done = 0;
    while (done < chunk && !IsListEmpty(&requests)) {
      PIRP irp = IrpOf(requests.Flink);
      StreamRequest* r = RequestOf(irp);
      KSSTREAM_HEADER& h = r->headers[r->index];
      const ULONG n = std::min(chunk - done, h.FrameExtent - h.DataUsed);
      dma->CopyFrom(static_cast<UCHAR*>(h.Data) + h.DataUsed, base + bufferOffset + done, n);
      h.DataUsed += n;
      done += n;
      submitted += n;
      if (h.DataUsed == h.FrameExtent) r->index++;
      if (r->index == r->count) Finish(this, irp, STATUS_SUCCESS);
    }
    if (done < chunk) {
      if (streamingClient) {
        // No request to take it: the client is late and these bytes are lost.
        droppedCapture += chunk - done;
      } else {
        const size_t at = clientData.size();
        clientData.resize(at + (chunk - done));
        dma->CopyFrom(clientData.data() + at, base + bufferOffset + done, chunk - done);
      }
    }
    bufferOffset = (bufferOffset + chunk) % size;
    fromBuffer += chunk;
    bytes -= chunk;
  }
}

}  // namespace platform::portcls
