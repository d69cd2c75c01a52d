// Shared internals of the port library stand-in (portcls_*.cpp): the
// per-device context kept in the functional device's extension, the
// wave-cyclic port, filter and pin instances, and the property dispatch.
#pragma once

#include <wdm.h>
#include <portcls.h>
#include <stdunk.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/internal.h"

namespace platform::portcls {

constexpr ULONG kTagPort = PoolTag("PcPt");
constexpr ULONG kTagServiceGroup = PoolTag("PcSg");
constexpr ULONG kTagResourceList = PoolTag("PcRl");
constexpr ULONG kTagDevice = PoolTag("PcDv");
constexpr ULONG kTagFilter = PoolTag("PcFi");
constexpr ULONG kTagPin = PoolTag("PcPi");

// Private interface id under which a port object answers with itself, so
// PcRegisterSubdevice recognises the ports PcNewPort made.
constexpr GUID kPortObjectId = {0x6F1C0B2E, 0x5C4B, 0x4E1A, {0x9C, 0x31, 0x2A, 0x77, 0x0D, 0x41, 0x5E, 0x10}};

// Notification interval the port asks of every new stream.
constexpr ULONG kNotificationIntervalMs = 10;

// Base of the port library's own COM objects: zero-filled tagged pool.
class PcObject : public CUnknown {
 public:
  explicit PcObject(PUNKNOWN outer) : CUnknown(outer) {}
  static void* operator new(size_t size, ULONG tag) noexcept;
  static void operator delete(void* p) noexcept;
};

class CPortWaveCyclic;

struct Subdevice {
  std::u16string name;
  CPortWaveCyclic* port = nullptr;  // referenced
  std::vector<UNICODE_STRING> links;
};

// What the port library keeps per functional device; its address is the
// first pointer of the device extension.
struct PortDevice {
  PDEVICE_OBJECT fdo = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT lower = nullptr;
  PCPFNSTARTDEVICE start = nullptr;
  ULONG maxObjects = 0;
  std::mutex lock;  // subdevices, power, state flags, open files
  std::vector<Subdevice> subdevices;
  PADAPTERPOWERMANAGEMENT power = nullptr;  // referenced
  DEVICE_POWER_STATE powerState = PowerDeviceD0;  // changed by PnP/power IRPs, serialised by the PnP manager
  std::atomic<bool> started{false};
  std::atomic<bool> surpriseRemoved{false};
  ULONG openFiles = 0;
};

PortDevice* DeviceOf(PDEVICE_OBJECT fdo);
// Releases what start created: interfaces, subdevices, power registration.
void ReleaseStartedState(PortDevice* device);

class CPortWaveCyclic : public IPortWaveCyclic, public PcObject {
 public:
  explicit CPortWaveCyclic(PUNKNOWN outer) : PcObject(outer) {}
  ~CPortWaveCyclic() override;
  DECLARE_STD_UNKNOWN()
  STDMETHODIMP_(NTSTATUS) Init(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport,
                               PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList) override;
  STDMETHODIMP_(NTSTATUS) GetDeviceProperty(DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                                            PVOID PropertyBuffer, PULONG ResultLength) override;
  STDMETHODIMP_(NTSTATUS) NewRegistryKey(PREGISTRYKEY* OutRegistryKey, PUNKNOWN OuterUnknown, ULONG RegistryKeyType,
                                         ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                         ULONG CreateOptions, PULONG Disposition) override;
  STDMETHODIMP_(VOID) Notify(PSERVICEGROUP ServiceGroup) override;
  STDMETHODIMP_(NTSTATUS) NewSlaveDmaChannel(PDMACHANNELSLAVE* DmaChannel, PUNKNOWN OuterUnknown,
                                             PRESOURCELIST ResourceList, ULONG DmaIndex, ULONG MaximumLength,
                                             BOOLEAN DemandMode, DMA_SPEED DmaSpeed) override;
  STDMETHODIMP_(NTSTATUS) NewMasterDmaChannel(PDMACHANNEL* DmaChannel, PUNKNOWN OuterUnknown,
                                              PRESOURCELIST ResourceList, ULONG MaximumLength,
                                              BOOLEAN Dma32BitAddresses, BOOLEAN Dma64BitAddresses,
                                              DMA_WIDTH DmaWidth, DMA_SPEED DmaSpeed) override;

  // Port library side.
  PMINIPORTWAVECYCLIC Miniport() const { return miniport_; }
  const PCFILTER_DESCRIPTOR* Descriptor() const { return descriptor_; }
  PDEVICE_OBJECT DeviceObject() const { return device_; }
  // Drops the miniport, which in turn drops its reference on the port.
  void ReleaseChildren();
  // Global pin instance counts (all filter instances of this subdevice).
  std::mutex countLock;
  std::vector<ULONG> globalInstances;

 private:
  PDEVICE_OBJECT device_ = nullptr;
  PMINIPORTWAVECYCLIC miniport_ = nullptr;  // referenced
  PPCFILTER_DESCRIPTOR descriptor_ = nullptr;
};

// File contexts (FILE_OBJECT.FsContext) start with their kind.
enum class ObjectKind : ULONG { Filter = 0x46696C74, Pin = 0x50696E20 };

struct FilterInstance {
  ObjectKind kind = ObjectKind::Filter;
  PortDevice* device = nullptr;
  CPortWaveCyclic* port = nullptr;  // referenced
  std::mutex control;               // serialises requests of the filter and its pins
  std::vector<ULONG> instances;     // open pins per pin id
  ULONG openPins = 0;
};

class PinInstance : public IServiceSink, public PcObject {
 public:
  PinInstance();
  ~PinInstance() override = default;
  DECLARE_STD_UNKNOWN()
  // The service pass: called by the service group's DPC at DISPATCH_LEVEL.
  STDMETHODIMP_(void) RequestService() override;

  ObjectKind kind = ObjectKind::Pin;
  FilterInstance* filter = nullptr;
  ULONG pinId = 0;
  bool capture = false;
  PMINIPORTWAVECYCLICSTREAM stream = nullptr;  // referenced
  PDMACHANNEL dma = nullptr;                   // referenced
  PSERVICEGROUP group = nullptr;               // referenced
  KSSTATE state = KSSTATE_STOP;                // written under `lock`
  ULONG notificationFrameSize = 0;
  std::vector<ULONGLONG> format;  // the current KSDATAFORMAT, 8-byte aligned
  // The port's own spin lock: the service pass runs under it, and the state,
  // the client data and the buffer positions change only under it.
  KSPIN_LOCK lock;
  // Waiters for a service pass (host API only); never held around driver calls.
  std::mutex passLock;
  std::condition_variable passDone;
  ULONGLONG servicesDone = 0;     // passLock: passes finished
  std::atomic<ULONGLONG> services{0};
  std::atomic<ULONG> lastPosition{0};
  std::vector<UCHAR> clientData;  // host shortcut data. render: to the buffer; capture: from it
  size_t clientStart = 0;         // first unconsumed byte of clientData
  ULONG bufferOffset = 0;         // render: next write; capture: next read
  ULONG queued = 0;               // render: bytes in the buffer ahead of the play position
  ULONG lastStreamPosition = 0;
  ULONGLONG toBuffer = 0, fromBuffer = 0;
  // Render: the part of the buffer known to hold the stream's silence,
  // starting at bufferOffset (or empty), for the buffer it was written in.
  ULONG silentFrom = 0, silentBytes = 0;
  const UCHAR* silentBase = nullptr;
  ULONG silentSize = 0;
  ULONGLONG silenceWritten = 0;
  // Render: bytes the stream's position has passed in all; how long (in
  // bytes at the stream's rate) the driver had taken everything the client
  // wrote while running, and where that first happened.
  ULONGLONG streamBytes = 0;
  ULONGLONG starvedBytes = 0;
  ULONGLONG firstStarvedAt = 0;
  bool dry = false, everDry = false;
  std::chrono::steady_clock::time_point dryStart;
  // KS stream requests (IOCTL_KS_WRITE_STREAM / READ_STREAM), in order, by
  // their IRPs' Tail.Overlay.ListEntry; and those finished in a pass, to be
  // completed once `lock` is released.
  LIST_ENTRY requests;
  LIST_ENTRY finished;
  bool streamingClient = false;   // a stream request was ever queued
  ULONGLONG writeAbs = 0;         // render: stream byte at bufferOffset
  ULONGLONG submitted = 0;        // render: bytes the client handed over; capture: bytes it received
  ULONGLONG droppedCapture = 0;   // capture: recorded with no request to take it

  // Moves data between the client and the cyclic buffer up to the stream's
  // position. Caller holds `lock` (so runs at DISPATCH_LEVEL).
  void MoveData();
  void NotePlayed(ULONG position, ULONG size);
  // Forgets the buffer positions (the stream went back to STOP) and moves
  // every stream request to `finished` as cancelled. Caller holds `lock`.
  void ResetData();
  // Completes what a pass finished. Caller does not hold `lock`.
  void CompleteFinished();
  // Render: bytes of client data not yet in the buffer. Caller holds `lock`.
  ULONGLONG PendingRenderBytes() const;
  // Render: the position (absolute) passed `playedAbs`; requests all of whose
  // data lies before it are finished. Capture: fills requests from the
  // buffer. Caller holds `lock`.
  void FinishPlayedRequests();
  // Render: copies client data into the buffer at bufferOffset (at most
  // `room` bytes); returns the bytes copied.
  ULONG CopyClientData(UCHAR* base, ULONG size, ULONG room);
  // Capture: copies `bytes` recorded bytes at bufferOffset out to requests
  // (or the host shortcut's data).
  void DeliverCapture(UCHAR* base, ULONG size, ULONG bytes);

 private:
  // Render: the buffer beyond the client's data, up to the play position,
  // gets the stream's silence (not queued: the driver never plays it).
  void FillSilence(UCHAR* base, ULONG size);
  // Render, after each position update: times the client's lateness.
  void NoteClientLateness();
};

// FsContext points at the object's kind field, FsContext2 at the object.
inline ObjectKind KindOf(PFILE_OBJECT file) {
  return file && file->FsContext ? *static_cast<ObjectKind*>(file->FsContext) : ObjectKind{};
}
inline FilterInstance* FilterOf(PFILE_OBJECT file) { return static_cast<FilterInstance*>(file->FsContext2); }
inline PinInstance* PinOf(PFILE_OBJECT file) { return static_cast<PinInstance*>(file->FsContext2); }

// Descriptor entries (the filter may use entries larger than the DDK's).
inline const PCPIN_DESCRIPTOR* PinDescriptor(const PCFILTER_DESCRIPTOR* d, ULONG i) {
  return reinterpret_cast<const PCPIN_DESCRIPTOR*>(reinterpret_cast<const char*>(d->Pins) + size_t(i) * d->PinSize);
}
inline const PCNODE_DESCRIPTOR* NodeDescriptor(const PCFILTER_DESCRIPTOR* d, ULONG i) {
  return reinterpret_cast<const PCNODE_DESCRIPTOR*>(reinterpret_cast<const char*>(d->Nodes) +
                                                    size_t(i) * d->NodeSize);
}

PRESOURCELIST NewEmptyResourceList();

// ---- Streams (portcls_streams.cpp) -----------------------------------------
NTSTATUS CreateFilter(PortDevice* device, PFILE_OBJECT file);
NTSTATUS CreatePin(FilterInstance* filter, PFILE_OBJECT file);
// IOCTL_KS_WRITE_STREAM / READ_STREAM on a pin: queued (STATUS_PENDING), or failed.
NTSTATUS QueueStreamRequest(PinInstance* pin, PIRP irp, bool write);
void CloseFilter(FilterInstance* filter);
void ClosePin(PinInstance* pin);
// Steps the stream through every state between its current one and target.
NTSTATUS StepState(PinInstance* pin, KSSTATE target);
// A range GUID matches a format GUID when equal or a wildcard.
bool GuidMatches(const GUID& range, const GUID& format);
// The WAVEFORMATEX inside an audio format (WAVEFORMATEX or DSOUND specifier).
bool WaveFormatOf(const KSDATAFORMAT* format, ULONG length, WAVEFORMATEX* wave);
// FormatSize within length, and the wave format's own size inside it.
bool FormatSizeConsistent(const KSDATAFORMAT* format, ULONG length);
// True when the format lies in one of the pin's data ranges.
bool FormatMatchesPin(const PCPIN_DESCRIPTOR* pin, const KSDATAFORMAT* format, ULONG formatLength);

// ---- Properties (portcls_properties.cpp, portcls_automation.cpp) ------------
struct PropertyCall {
  KSPROPERTY property;        // copy of the request's header
  const UCHAR* input;         // the whole input buffer (KSPROPERTY first)
  ULONG inputLength;
  PVOID value;                // the output buffer (SET: the new value)
  ULONG valueLength;
  ULONG_PTR information = 0;  // bytes written or required
  PIRP irp;
  ULONG Verb() const { return property.Flags & ~KSPROPERTY_TYPE_TOPOLOGY; }
};

NTSTATUS FilterProperty(FilterInstance* filter, PropertyCall& call);
NTSTATUS PinProperty(PinInstance* pin, PropertyCall& call);

// KS size rules for a fixed-size answer: no buffer = size query
// (STATUS_BUFFER_OVERFLOW, required size), short buffer = too small.
NTSTATUS ReturnData(PropertyCall& call, const void* data, ULONG size);
// The port's answer to BASICSUPPORT for an item whose handler does not take it.
NTSTATUS DefaultBasicSupport(PropertyCall& call, ULONG accessFlags);
// A driver automation table: STATUS_NOT_FOUND when the table has no such
// set or id. node = KSFILTER_NODE for filter and pin tables.
NTSTATUS DispatchAutomation(const PCAUTOMATION_TABLE* table, PUNKNOWN major, PUNKNOWN minor, ULONG node,
                            ULONG instanceOffset, PropertyCall& call);
// A node property (KSPROPERTY_TYPE_TOPOLOGY): KSP_NODE, node table.
NTSTATUS NodeProperty(CPortWaveCyclic* port, PUNKNOWN minor, PropertyCall& call);

}  // namespace platform::portcls
