// The fake adapter driver, miniport, stream and bus of fake_audio_driver.h.
#include "tests/platform/fake_audio_driver.h"

#include <ksmedia.h>

#include "platform/kernel/device_interfaces.h"
#include "platform/kernel/verifier.h"

namespace fake_audio {

const GUID kPrivateSet = {0x2E1B6F4A, 0x11C2, 0x4D3B, {0x8F, 0x10, 0x6A, 0x5C, 0x3D, 0x22, 0x90, 0x01}};

namespace {

constexpr ULONG kTag = platform::PoolTag("Fake");

FakeDriver* g_driver = new FakeDriver;
PDRIVER_UNLOAD g_portUnload = nullptr;

std::string Num(long long v) { return std::to_string(v); }

class PoolBase {
 public:
  static void* operator new(size_t size, POOL_TYPE type, ULONG tag) noexcept {
    void* p = ExAllocatePoolWithTag(type, size, tag);
    if (p) memset(p, 0, size);
    return p;
  }
  static void operator delete(void* p) noexcept {
    if (p) ExFreePoolWithTag(p, kTag);
  }
};

// ---- Property handlers ------------------------------------------------------

NTSTATUS NTAPI RecordingHandler(PPCPROPERTY_REQUEST r) {
  RecordedRequest rec;
  rec.major = r->MajorTarget;
  rec.minor = r->MinorTarget;
  rec.node = r->Node;
  rec.id = r->PropertyItem->Id;
  rec.verb = r->Verb;
  rec.instanceSize = r->InstanceSize;
  if (r->InstanceSize >= sizeof(LONG)) memcpy(&rec.firstInstanceLong, r->Instance, sizeof(LONG));
  rec.valueSize = r->ValueSize;
  rec.value = r->Value;
  rec.instance = r->Instance;
  if (r->Irp) {
    rec.requestorMode = r->Irp->RequestorMode;
    rec.irpIs32Bit = IoIs32bitProcess(r->Irp) != FALSE;
  }
  rec.currentIs32Bit = IoIs32bitProcess(NULL) != FALSE;
  rec.process = PsGetCurrentProcess();
  if ((r->Verb & KSPROPERTY_TYPE_SET) && r->ValueSize >= sizeof(LONG)) memcpy(&rec.firstValueLong, r->Value, sizeof(LONG));
  if (Driver().valueOverrun) memset(static_cast<UCHAR*>(r->Value) + r->ValueSize, 0x66, Driver().valueOverrun);
  {
    std::lock_guard<std::mutex> l(Driver().lock);
    Driver().requests.push_back(rec);
  }
  if (r->Verb & KSPROPERTY_TYPE_BASICSUPPORT) {
    if (r->ValueSize < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
    ULONG flags = KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET;
    memcpy(r->Value, &flags, sizeof flags);
    r->ValueSize = sizeof flags;
    return STATUS_SUCCESS;
  }
  if (r->ValueSize < sizeof(LONG)) return STATUS_BUFFER_TOO_SMALL;
  if (r->Verb & KSPROPERTY_TYPE_GET) {
    LONG v = 0x1000 + static_cast<LONG>(r->PropertyItem->Id) + (r->Node == KSFILTER_NODE ? 0 : 0x100 * (LONG)r->Node);
    memcpy(r->Value, &v, sizeof v);
    r->ValueSize = sizeof v;
  }
  return STATUS_SUCCESS;
}

const PCPROPERTY_ITEM kFilterItems[] = {
    {&kPrivateSet, kPrivateFilterId, PCPROPERTY_ITEM_FLAG_GET, RecordingHandler},
};
const PCPROPERTY_ITEM kPinItems[] = {
    {&kPrivateSet, kPrivatePinId, PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET, RecordingHandler},
};
const PCPROPERTY_ITEM kVolumeItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT, RecordingHandler},
};
const PCPROPERTY_ITEM kMuteItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET, RecordingHandler},
};
DEFINE_PCAUTOMATION_TABLE_PROP(kFilterTable, kFilterItems);
DEFINE_PCAUTOMATION_TABLE_PROP(kPinTable, kPinItems);
DEFINE_PCAUTOMATION_TABLE_PROP(kVolumeTable, kVolumeItems);
DEFINE_PCAUTOMATION_TABLE_PROP(kMuteTable, kMuteItems);

// ---- Filter description -----------------------------------------------------

const KSDATARANGE_AUDIO kRenderRange = {
    {{sizeof(KSDATARANGE_AUDIO), 0, 0, 0, {STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO)},
      {STATICGUIDOF(KSDATAFORMAT_SUBTYPE_PCM)}, {STATICGUIDOF(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)}}},
    2, 16, 24, 44100, 96000};
const KSDATARANGE kBridgeRange = {{sizeof(KSDATARANGE), 0, 0, 0, {STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO)},
                                   {STATICGUIDOF(KSDATAFORMAT_SUBTYPE_ANALOG)},
                                   {STATICGUIDOF(KSDATAFORMAT_SPECIFIER_NONE)}}};
const PKSDATARANGE kRenderRanges[] = {const_cast<PKSDATARANGE>(&kRenderRange.DataRange)};
const PKSDATARANGE kBridgeRanges[] = {const_cast<PKSDATARANGE>(&kBridgeRange)};

// Larger entries than the DDK's, as the driver's own are: the port must
// step by PinSize.
struct PinEntry {
  PCPIN_DESCRIPTOR pc;
  ULONG driverFields[8];
};

const PinEntry kPins[] = {
    {{1, 1, 0, &kPinTable,
      {0, NULL, 0, NULL, 1, kRenderRanges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO, NULL, {0}}},
     {0xAAAAAAAA}},
    {{0, 0, 0, NULL,
      {0, NULL, 0, NULL, 1, kBridgeRanges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE, &KSNODETYPE_SPEAKER, NULL,
       {0}}},
     {0xBBBBBBBB}},
    {{1, 1, 0, NULL,
      {0, NULL, 0, NULL, 1, kRenderRanges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO, NULL, {0}}},
     {0xCCCCCCCC}},
};
const PCNODE_DESCRIPTOR kNodes[] = {
    {0, &kVolumeTable, &KSNODETYPE_VOLUME, NULL},
    {0, &kMuteTable, &KSNODETYPE_MUTE, NULL},
};
const PCCONNECTION_DESCRIPTOR kConnections[] = {
    {PCFILTER_NODE, kRenderPin, kVolumeNode, KSNODEPIN_STANDARD_IN},
    {kVolumeNode, KSNODEPIN_STANDARD_OUT, kMuteNode, KSNODEPIN_STANDARD_IN},
    {kMuteNode, KSNODEPIN_STANDARD_OUT, PCFILTER_NODE, kBridgePin},
};
const PCFILTER_DESCRIPTOR kFilter = {0,  &kFilterTable, sizeof(PinEntry), kPinCount,   &kPins[0].pc,
                                     sizeof(PCNODE_DESCRIPTOR), 2, kNodes, 3, kConnections, 0, NULL};

// ---- Adapter ------------------------------------------------------------------

class FakeAdapter : public IAdapterPowerManagement, public CUnknown, public PoolBase {
 public:
  FakeAdapter() : CUnknown(nullptr) { Driver().liveAdapters++; }
  ~FakeAdapter() override { Driver().liveAdapters--; }
  DECLARE_STD_UNKNOWN()
  STDMETHODIMP_(void) PowerChangeState(POWER_STATE s) override { Driver().Add("adapter power D" + Num(s.DeviceState - 1)); }
  STDMETHODIMP_(NTSTATUS) QueryPowerChangeState(POWER_STATE s) override {
    Driver().Add("adapter query D" + Num(s.DeviceState - 1));
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(NTSTATUS) QueryDeviceCapabilities(PDEVICE_CAPABILITIES caps) override {
    caps->SurpriseRemovalOK = 1;
    Driver().Add("adapter capabilities");
    return STATUS_SUCCESS;
  }
};

STDMETHODIMP_(NTSTATUS) FakeAdapter::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
  if (IsEqualGUID(iid, IID_IUnknown)) {
    *out = PVOID(PUNKNOWN(static_cast<INonDelegatingUnknown*>(this)));
  } else if (IsEqualGUID(iid, IID_IAdapterPowerManagement)) {
    *out = PVOID(static_cast<IAdapterPowerManagement*>(this));
  } else {
    *out = NULL;
    return STATUS_INVALID_PARAMETER;
  }
  PUNKNOWN(*out)->AddRef();
  return STATUS_SUCCESS;
}

// ---- Stream -------------------------------------------------------------------

class FakeStream : public IMiniportWaveCyclicStream, public IDmaChannel, public CUnknown, public PoolBase {
 public:
  explicit FakeStream(PUNKNOWN adapter) : CUnknown(nullptr), adapter_(adapter) {
    adapter_->AddRef();
    Driver().liveStreams++;
  }
  ~FakeStream() override {
    if (buffer_) ExFreePoolWithTag(buffer_, kTag);
    adapter_->Release();
    Driver().Add("stream destroyed");
    {
      std::lock_guard<std::mutex> l(Driver().lock);
      Driver().streamClosedIn = PsGetCurrentProcess();
    }
    Driver().liveStreams--;
  }
  DECLARE_STD_UNKNOWN()

  STDMETHODIMP_(NTSTATUS) SetFormat(PKSDATAFORMAT f) override {
    if (state_ == KSSTATE_RUN) return STATUS_INVALID_DEVICE_REQUEST;
    WAVEFORMATEX w;
    memcpy(&w, reinterpret_cast<UCHAR*>(f) + sizeof(KSDATAFORMAT), sizeof w);
    Driver().Add("set format " + Num(w.nSamplesPerSec));
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(ULONG) SetNotificationFreq(ULONG interval, PULONG frameSize) override {
    *frameSize = interval * 48 * 4;
    Driver().Add("notification " + Num(interval));
    return interval;
  }
  STDMETHODIMP_(NTSTATUS) SetState(KSSTATE s) override {
    int step = static_cast<int>(s) - static_cast<int>(state_);
    if (step > 1 || step < -1) return STATUS_INVALID_PARAMETER;  // the port must step one state at a time
    if (s == KSSTATE_RUN && Driver().failRun) return STATUS_UNSUCCESSFUL;
    Driver().Add("state " + Num(state_) + "->" + Num(s));
    state_ = s;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(NTSTATUS) GetPosition(PULONG position) override {
    Driver().positionReads++;
    *position = Driver().position;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(NTSTATUS) NormalizePhysicalPosition(PLONGLONG p) override {
    *p = *p * 10000000 / (48000 * 4);
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(void) Silence(PVOID buffer, ULONG bytes) override { memset(buffer, 0, bytes); }

  STDMETHODIMP_(NTSTATUS) AllocateBuffer(ULONG size, PPHYSICAL_ADDRESS) override {
    buffer_ = ExAllocatePoolWithTag(NonPagedPoolNx, size, kTag);
    if (!buffer_) return STATUS_INSUFFICIENT_RESOURCES;
    allocated_ = size_ = size;
    Driver().Add("allocate " + Num(size));
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(void) FreeBuffer() override {
    if (buffer_) ExFreePoolWithTag(buffer_, kTag);
    buffer_ = nullptr;
    allocated_ = size_ = 0;
  }
  STDMETHODIMP_(ULONG) TransferCount() override { return allocated_; }
  STDMETHODIMP_(ULONG) MaximumBufferSize() override { return 19200; }
  STDMETHODIMP_(ULONG) AllocatedBufferSize() override { return allocated_; }
  STDMETHODIMP_(ULONG) BufferSize() override { return size_; }
  STDMETHODIMP_(void) SetBufferSize(ULONG size) override {
    if (size <= allocated_) size_ = size;
  }
  STDMETHODIMP_(PVOID) SystemAddress() override { return buffer_; }
  STDMETHODIMP_(PHYSICAL_ADDRESS) PhysicalAddress() override {
    PHYSICAL_ADDRESS a;
    a.QuadPart = reinterpret_cast<LONGLONG>(buffer_);
    return a;
  }
  STDMETHODIMP_(PADAPTER_OBJECT) GetAdapterObject() override { return NULL; }
  // A plain DMA buffer: a copy that runs past its end is a port bug.
  STDMETHODIMP_(void) CopyTo(PVOID d, PVOID s, ULONG n) override {
    FakeDriver& f = Driver();
    const int depth = ++f.copyDepth;
    if (depth > f.maxCopyDepth) f.maxCopyDepth = depth;
    if (KeGetCurrentIrql() != DISPATCH_LEVEL) f.copiesNotAtDispatch++;
    if (!Inside(d, n)) f.Add("copy past the buffer end");
    memcpy(d, s, n);
    if (f.notifyInCopy && f.port) f.port->Notify(f.serviceGroup);
    {
      std::lock_guard<std::mutex> l(f.lock);
      f.copyThread = std::this_thread::get_id();
    }
    f.copies++;
    f.copyDepth--;
  }
  STDMETHODIMP_(void) CopyFrom(PVOID d, PVOID s, ULONG n) override {
    if (!Inside(s, n)) Driver().Add("copy past the buffer end");
    memcpy(d, s, n);
  }
  bool Inside(PVOID p, ULONG n) const {
    UCHAR* at = static_cast<UCHAR*>(p);
    UCHAR* begin = static_cast<UCHAR*>(buffer_);
    return at >= begin && at + n <= begin + allocated_;
  }

 private:
  PUNKNOWN adapter_;
  KSSTATE state_ = KSSTATE_STOP;
  PVOID buffer_ = nullptr;
  ULONG allocated_ = 0, size_ = 0;
};

STDMETHODIMP_(NTSTATUS) FakeStream::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
  if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMiniportWaveCyclicStream)) {
    *out = PVOID(static_cast<IMiniportWaveCyclicStream*>(this));
  } else if (IsEqualGUID(iid, IID_IDmaChannel)) {
    *out = PVOID(static_cast<IDmaChannel*>(this));
  } else {
    *out = NULL;
    return STATUS_INVALID_PARAMETER;
  }
  PUNKNOWN(*out)->AddRef();
  return STATUS_SUCCESS;
}

// ---- Miniport -----------------------------------------------------------------

class FakeMiniport : public IMiniportWaveCyclic, public IPowerNotify, public CUnknown, public PoolBase {
 public:
  FakeMiniport() : CUnknown(nullptr) { Driver().liveMiniports++; }
  ~FakeMiniport() override {
    if (group_) group_->Release();
    if (adapter_) adapter_->Release();
    if (port_) port_->Release();
    Driver().Add("miniport destroyed");
    Driver().liveMiniports--;
  }
  DECLARE_STD_UNKNOWN()

  STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* d) override {
    *d = const_cast<PPCFILTER_DESCRIPTOR>(&kFilter);
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(NTSTATUS) DataRangeIntersection(ULONG pin, PKSDATARANGE client, PKSDATARANGE own, ULONG length,
                                                PVOID result, PULONG resultLength) override {
    Driver().Add("intersect pin " + Num(pin));
    const KSDATARANGE_AUDIO* c = reinterpret_cast<const KSDATARANGE_AUDIO*>(client);
    const KSDATARANGE_AUDIO* o = reinterpret_cast<const KSDATARANGE_AUDIO*>(own);
    if (client->FormatSize < sizeof(KSDATARANGE_AUDIO) || c->MaximumChannels < 2) return STATUS_NO_MATCH;
    if (length == 0) {
      *resultLength = sizeof(KSDATAFORMAT_WAVEFORMATEX);
      return STATUS_BUFFER_OVERFLOW;
    }
    if (length < sizeof(KSDATAFORMAT_WAVEFORMATEX)) return STATUS_BUFFER_TOO_SMALL;
    KSDATAFORMAT_WAVEFORMATEX f{};
    memcpy(&f.DataFormat, own, sizeof(KSDATAFORMAT));
    f.DataFormat.FormatSize = sizeof f;
    f.WaveFormatEx.wFormatTag = WAVE_FORMAT_PCM;
    f.WaveFormatEx.nChannels = 2;
    f.WaveFormatEx.nSamplesPerSec =
        c->MaximumSampleFrequency < o->MaximumSampleFrequency ? c->MaximumSampleFrequency : o->MaximumSampleFrequency;
    f.WaveFormatEx.wBitsPerSample = 16;
    f.WaveFormatEx.nBlockAlign = 4;
    f.WaveFormatEx.nAvgBytesPerSec = f.WaveFormatEx.nSamplesPerSec * 4;
    memcpy(result, &f, sizeof f);
    *resultLength = sizeof f;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN adapter, PRESOURCELIST resources, PPORTWAVECYCLIC port) override {
    Driver().Add("miniport init resources " + Num(resources ? resources->NumberOfEntries() : -1));
    NTSTATUS status = adapter->QueryInterface(IID_IAdapterPowerManagement, reinterpret_cast<PVOID*>(&adapter_));
    if (!NT_SUCCESS(status)) return status;
    status = PcNewServiceGroup(&group_, NULL);
    if (!NT_SUCCESS(status)) return status;
    port_ = port;
    port_->AddRef();
    Driver().port = port;
    Driver().serviceGroup = group_;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(NTSTATUS) NewStream(PMINIPORTWAVECYCLICSTREAM* stream, PUNKNOWN, POOL_TYPE pool, ULONG pin,
                                    BOOLEAN capture, PKSDATAFORMAT format, PDMACHANNEL* dma,
                                    PSERVICEGROUP* group) override {
    WAVEFORMATEX w;
    memcpy(&w, reinterpret_cast<UCHAR*>(format) + sizeof(KSDATAFORMAT), sizeof w);
    Driver().Add("new stream pin " + Num(pin) + (capture ? " capture " : " render ") + Num(w.nSamplesPerSec));
    Driver().newStreams++;
    FakeStream* s = new (pool, kTag) FakeStream(adapter_);
    if (!s) return STATUS_INSUFFICIENT_RESOURCES;
    s->NonDelegatingAddRef();
    *stream = s;
    s->QueryInterface(IID_IDmaChannel, reinterpret_cast<PVOID*>(dma));
    group_->AddRef();
    *group = group_;
    Driver().lastStream = s;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE s) override {
    Driver().Add("miniport power D" + Num(s.DeviceState - 1));
  }

 private:
  PPORTWAVECYCLIC port_ = nullptr;
  PADAPTERPOWERMANAGEMENT adapter_ = nullptr;
  PSERVICEGROUP group_ = nullptr;
};

STDMETHODIMP_(NTSTATUS) FakeMiniport::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
  if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportWaveCyclic)) {
    *out = PVOID(static_cast<IMiniportWaveCyclic*>(this));
  } else if (IsEqualGUID(iid, IID_IPowerNotify)) {
    *out = PVOID(static_cast<IPowerNotify*>(this));
  } else {
    *out = NULL;
    return STATUS_INVALID_PARAMETER;
  }
  PUNKNOWN(*out)->AddRef();
  return STATUS_SUCCESS;
}

// ---- Entry points -------------------------------------------------------------

NTSTATUS NTAPI StartDevice(PDEVICE_OBJECT fdo, PIRP irp, PRESOURCELIST resources) {
  Driver().Add("start");
  Driver().fdo = fdo;
  FakeAdapter* adapter = new (NonPagedPool, kTag) FakeAdapter();
  if (!adapter) return STATUS_INSUFFICIENT_RESOURCES;
  adapter->NonDelegatingAddRef();
  PUNKNOWN adapterUnknown = adapter->GetOuterUnknown();
  NTSTATUS status = PcRegisterAdapterPowerManagement(adapterUnknown, fdo);
  if (NT_SUCCESS(status) && Driver().failStartAfterPowerRegistration) status = STATUS_DEVICE_CONFIGURATION_ERROR;
  if (NT_SUCCESS(status)) {
    PPORT port = NULL;
    status = PcNewPort(&port, CLSID_PortWaveCyclic);
    if (NT_SUCCESS(status)) {
      FakeMiniport* miniport = new (NonPagedPool, kTag) FakeMiniport();
      if (!miniport) status = STATUS_INSUFFICIENT_RESOURCES;
      if (NT_SUCCESS(status)) {
        miniport->NonDelegatingAddRef();
        status = port->Init(fdo, irp, miniport->GetOuterUnknown(), adapterUnknown, resources);
        if (NT_SUCCESS(status)) status = PcRegisterSubdevice(fdo, const_cast<PWCHAR>(L"Wave"), port);
        miniport->GetOuterUnknown()->Release();
      }
      port->Release();
    }
  }
  adapterUnknown->Release();
  return status;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  Driver().Add("add device");
  return PcAddAdapterDevice(driver, pdo, StartDevice, 1, 0);
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT driver) {
  Driver().Add("unload");
  if (g_portUnload) g_portUnload(driver);
}

// ---- Bus ----------------------------------------------------------------------

NTSTATUS NTAPI BusPnp(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE: case IRP_MN_QUERY_REMOVE_DEVICE: case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE: case IRP_MN_STOP_DEVICE: case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE: case IRP_MN_SURPRISE_REMOVAL:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_CAPABILITIES:
      sp->Parameters.DeviceCapabilities.Capabilities->Removable = 1;
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI BusPower(PDEVICE_OBJECT, PIRP irp) {
  Driver().Add("bus power");
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

}  // namespace

FakeDriver& Driver() { return *g_driver; }

void ResetDriver() {
  FakeDriver& d = Driver();
  d.ClearLog();
  d.newStreams = 0;
  d.positionReads = 0;
  d.fdo = nullptr;
  d.port = nullptr;
  d.serviceGroup = nullptr;
  d.lastStream = nullptr;
  d.failStartAfterPowerRegistration = false;
  d.failRun = false;
  d.position = 0;
  d.copies = d.copyDepth = d.maxCopyDepth = d.copiesNotAtDispatch = 0;
  d.notifyInCopy = false;
  d.valueOverrun = 0;
  d.streamClosedIn = nullptr;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  Driver().Add("driver entry");
  NTSTATUS status = PcInitializeAdapterDriver(driver, registryPath, AddDevice);
  g_portUnload = driver->DriverUnload;
  driver->DriverUnload = DriverUnload;
  return status;
}

FakeBus::FakeBus() {
  driver_.Type = IO_TYPE_DRIVER;
  driver_.Size = sizeof driver_;
  driver_.MajorFunction[IRP_MJ_PNP] = BusPnp;
  driver_.MajorFunction[IRP_MJ_POWER] = BusPower;
  pdo_.Type = IO_TYPE_DEVICE;
  pdo_.Size = sizeof pdo_;
  pdo_.DriverObject = &driver_;
  pdo_.StackSize = 1;
  platform::RegisterPhysicalDevice(&pdo_, platform::UsbDeviceInfo(0x1FA7, 0x4D02, 0x0100, 0));
}

FakeBus::~FakeBus() { platform::UnregisterPhysicalDevice(&pdo_); }

}  // namespace fake_audio
