// The port library's COM objects: the wave-cyclic port, service groups and
// the (empty) resource list handed to the start routine; PcNewPort and
// PcNewServiceGroup.
#include <atomic>
#include <thread>
#include <vector>

#include "platform/kernel/portcls_internal.h"

namespace platform::portcls {

void* PcObject::operator new(size_t size, ULONG tag) noexcept {
  return detail::AllocatePool(NonPagedPoolNx, size, tag, true, USBAUDIO_CALLER());
}

void PcObject::operator delete(void* p) noexcept {
  if (p) detail::FreePool(p, false, 0, USBAUDIO_CALLER());
}

// ---- Service group -----------------------------------------------------------

namespace {

// As in portcls: a service request queues the group's DPC (a DPC already
// queued is not queued twice), and the DPC services every member at
// DISPATCH_LEVEL under the group's spin lock. A request made while the DPC
// runs (a Notify from inside CopyTo) queues it again, so that pass runs
// after the current one instead of inside it. Removing a member takes the
// group's lock, so it waits for a pass in progress and is never serviced
// after RemoveMember returns.
class CServiceGroup : public IServiceGroup, public PcObject {
 public:
  explicit CServiceGroup(PUNKNOWN outer) : PcObject(outer) {
    KeInitializeSpinLock(&lock_);
    KeInitializeDpc(&dpc_, ServiceDpc, this);
  }
  ~CServiceGroup() override {
    // Nobody can request service any more; a queued or running DPC still
    // refers to the group.
    if (KeRemoveQueueDpc(&dpc_)) pending_--;
    while (pending_.load() != 0) std::this_thread::yield();
    for (ULONG i = 0; i < count_; ++i) members_[i]->Release();
  }
  DECLARE_STD_UNKNOWN()

  STDMETHODIMP_(void) RequestService() override {
    detail::RequireIrqlAtMost(DISPATCH_LEVEL, USBAUDIO_CALLER(), "IRQL_PORTCLS_ABOVE_DISPATCH",
                              "IServiceGroup::RequestService");
    pending_++;  // before the insertion: the DPC may run and finish at once
    if (!KeInsertQueueDpc(&dpc_, NULL, NULL)) pending_--;
  }

  STDMETHODIMP_(NTSTATUS) AddMember(PSERVICESINK pServiceSink) override {
    if (!pServiceSink) return STATUS_INVALID_PARAMETER;
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    const bool room = count_ < kMaxMembers;
    if (room) {
      pServiceSink->AddRef();
      members_[count_++] = pServiceSink;
    }
    KeReleaseSpinLock(&lock_, irql);
    return room ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
  }

  STDMETHODIMP_(void) RemoveMember(PSERVICESINK pServiceSink) override {
    PSERVICESINK removed = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    for (ULONG i = 0; i < count_; ++i) {
      if (members_[i] == pServiceSink) {
        removed = members_[i];
        for (ULONG j = i + 1; j < count_; ++j) members_[j - 1] = members_[j];
        members_[--count_] = nullptr;
        break;
      }
    }
    KeReleaseSpinLock(&lock_, irql);
    if (removed) removed->Release();
  }

  // Delayed service is serviced at once: nothing here depends on the delay.
  STDMETHODIMP_(void) SupportDelayedService() override {}
  STDMETHODIMP_(void) RequestDelayedService(ULONGLONG) override { RequestService(); }
  STDMETHODIMP_(void) CancelDelayedService() override {}

 private:
  static constexpr ULONG kMaxMembers = 16;

  static VOID NTAPI ServiceDpc(PKDPC, PVOID context, PVOID, PVOID) {
    CServiceGroup* group = static_cast<CServiceGroup*>(context);
    KeAcquireSpinLockAtDpcLevel(&group->lock_);
    for (ULONG i = 0; i < group->count_; ++i) group->members_[i]->RequestService();
    KeReleaseSpinLockFromDpcLevel(&group->lock_);
    group->pending_--;
  }

  KDPC dpc_;
  KSPIN_LOCK lock_;  // the members
  PSERVICESINK members_[kMaxMembers] = {};
  ULONG count_ = 0;
  std::atomic<int> pending_{0};  // requests being queued, queued or running
};

STDMETHODIMP_(NTSTATUS) CServiceGroup::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
  if (IsEqualGUID(iid, IID_IUnknown)) {
    *out = PVOID(PUNKNOWN(static_cast<INonDelegatingUnknown*>(this)));
  } else if (IsEqualGUID(iid, IID_IServiceGroup) || IsEqualGUID(iid, IID_IServiceSink)) {
    *out = PVOID(static_cast<IServiceGroup*>(this));
  } else {
    *out = NULL;
    return STATUS_INVALID_PARAMETER;
  }
  PUNKNOWN(*out)->AddRef();
  return STATUS_SUCCESS;
}

// ---- Resource list: a USB function brings no hardware resources -------------

class CResourceList : public IResourceList, public PcObject {
 public:
  CResourceList() : PcObject(nullptr) {}
  DECLARE_STD_UNKNOWN()
  STDMETHODIMP_(ULONG) NumberOfEntries() override { return 0; }
  STDMETHODIMP_(ULONG) NumberOfEntriesOfType(CM_RESOURCE_TYPE) override { return 0; }
  STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR) FindTranslatedEntry(CM_RESOURCE_TYPE, ULONG) override {
    return NULL;
  }
  STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR) FindUntranslatedEntry(CM_RESOURCE_TYPE, ULONG) override {
    return NULL;
  }
  STDMETHODIMP_(NTSTATUS) AddEntry(PCM_PARTIAL_RESOURCE_DESCRIPTOR, PCM_PARTIAL_RESOURCE_DESCRIPTOR) override {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  STDMETHODIMP_(NTSTATUS) AddEntryFromParent(IResourceList*, CM_RESOURCE_TYPE, ULONG) override {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  STDMETHODIMP_(PCM_RESOURCE_LIST) TranslatedList() override { return NULL; }
  STDMETHODIMP_(PCM_RESOURCE_LIST) UntranslatedList() override { return NULL; }
};

STDMETHODIMP_(NTSTATUS) CResourceList::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
  if (IsEqualGUID(iid, IID_IUnknown)) {
    *out = PVOID(PUNKNOWN(static_cast<INonDelegatingUnknown*>(this)));
  } else if (IsEqualGUID(iid, IID_IResourceList)) {
    *out = PVOID(static_cast<IResourceList*>(this));
  } else {
    *out = NULL;
    return STATUS_INVALID_PARAMETER;
  }
  PUNKNOWN(*out)->AddRef();
  return STATUS_SUCCESS;
}

}  // namespace

PRESOURCELIST NewEmptyResourceList() {
  CResourceList* list = new (kTagResourceList) CResourceList();
  if (!list) return NULL;
  list->AddRef();
  return list;
}

// ---- Wave-cyclic port --------------------------------------------------------

CPortWaveCyclic::~CPortWaveCyclic() { ReleaseChildren(); }

STDMETHODIMP_(NTSTATUS) CPortWaveCyclic::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
  if (IsEqualGUID(iid, IID_IUnknown)) {
    *out = PVOID(PUNKNOWN(static_cast<INonDelegatingUnknown*>(this)));
  } else if (IsEqualGUID(iid, IID_IPort) || IsEqualGUID(iid, IID_IPortWaveCyclic)) {
    *out = PVOID(static_cast<IPortWaveCyclic*>(this));
  } else if (IsEqualGUID(iid, kPortObjectId)) {
    NonDelegatingAddRef();
    *out = this;
    return STATUS_SUCCESS;
  } else {
    *out = NULL;
    return STATUS_INVALID_PARAMETER;
  }
  PUNKNOWN(*out)->AddRef();
  return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CPortWaveCyclic::Init(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport,
                                              PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList) {
  (void)Irp;
  const void* caller = USBAUDIO_CALLER();
  detail::RequireIrqlAtMost(PASSIVE_LEVEL, caller, "IRQL_PORTCLS_ABOVE_PASSIVE", "IPortWaveCyclic::Init");
  if (miniport_) detail::BugCheckAt(caller, "PORTCLS_PORT_INIT_TWICE", "port %p initialised twice", (void*)this);
  if (!DeviceObject || !UnknownMiniport) return STATUS_INVALID_PARAMETER;
  PMINIPORTWAVECYCLIC miniport = NULL;
  NTSTATUS status = UnknownMiniport->QueryInterface(IID_IMiniportWaveCyclic, reinterpret_cast<PVOID*>(&miniport));
  if (!NT_SUCCESS(status)) return status;
  if (!miniport) detail::BugCheckAt(caller, "PORTCLS_MINIPORT_INVALID", "QueryInterface succeeded with a null miniport");
  device_ = DeviceObject;
  status = miniport->Init(UnknownAdapter, ResourceList, this);
  if (!NT_SUCCESS(status)) {
    miniport->Release();
    device_ = nullptr;
    return status;
  }
  PPCFILTER_DESCRIPTOR descriptor = NULL;
  status = miniport->GetDescription(&descriptor);
  if (NT_SUCCESS(status) && !descriptor) status = STATUS_UNSUCCESSFUL;
  if (!NT_SUCCESS(status)) {
    miniport->Release();
    device_ = nullptr;
    return status;
  }
  if ((descriptor->PinCount && descriptor->PinSize < sizeof(PCPIN_DESCRIPTOR)) ||
      (descriptor->NodeCount && descriptor->NodeSize < sizeof(PCNODE_DESCRIPTOR)) ||
      (descriptor->PinCount && !descriptor->Pins) || (descriptor->NodeCount && !descriptor->Nodes) ||
      (descriptor->ConnectionCount && !descriptor->Connections))
    detail::BugCheckAt(caller, "PORTCLS_DESCRIPTOR_INVALID",
                       "filter descriptor with pin size %u x %u, node size %u x %u, %u connections",
                       descriptor->PinSize, descriptor->PinCount, descriptor->NodeSize, descriptor->NodeCount,
                       descriptor->ConnectionCount);
  miniport_ = miniport;
  descriptor_ = descriptor;
  globalInstances.assign(descriptor->PinCount, 0);
  return STATUS_SUCCESS;
}

void CPortWaveCyclic::ReleaseChildren() {
  PMINIPORTWAVECYCLIC miniport = miniport_;
  miniport_ = nullptr;
  if (miniport) miniport->Release();
}

STDMETHODIMP_(NTSTATUS) CPortWaveCyclic::GetDeviceProperty(DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                                           ULONG BufferLength, PVOID PropertyBuffer,
                                                           PULONG ResultLength) {
  if (!device_) return STATUS_DEVICE_NOT_READY;
  return PcGetDeviceProperty(device_, DeviceProperty, BufferLength, PropertyBuffer, ResultLength);
}

STDMETHODIMP_(NTSTATUS) CPortWaveCyclic::NewRegistryKey(PREGISTRYKEY* OutRegistryKey, PUNKNOWN, ULONG, ACCESS_MASK,
                                                        POBJECT_ATTRIBUTES, ULONG, PULONG) {
  if (OutRegistryKey) *OutRegistryKey = NULL;
  return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(VOID) CPortWaveCyclic::Notify(PSERVICEGROUP ServiceGroup) {
  detail::RequireIrqlAtMost(DISPATCH_LEVEL, USBAUDIO_CALLER(), "IRQL_PORTCLS_ABOVE_DISPATCH",
                            "IPortWaveCyclic::Notify");
  if (ServiceGroup) ServiceGroup->RequestService();
}

// A USB audio function has no system DMA: DMA channels come from the miniport.
STDMETHODIMP_(NTSTATUS) CPortWaveCyclic::NewSlaveDmaChannel(PDMACHANNELSLAVE* DmaChannel, PUNKNOWN, PRESOURCELIST,
                                                            ULONG, ULONG, BOOLEAN, DMA_SPEED) {
  if (DmaChannel) *DmaChannel = NULL;
  return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(NTSTATUS) CPortWaveCyclic::NewMasterDmaChannel(PDMACHANNEL* DmaChannel, PUNKNOWN, PRESOURCELIST,
                                                             ULONG, BOOLEAN, BOOLEAN, DMA_WIDTH, DMA_SPEED) {
  if (DmaChannel) *DmaChannel = NULL;
  return STATUS_NOT_IMPLEMENTED;
}

}  // namespace platform::portcls

using namespace platform::portcls;

extern "C" {

NTSTATUS NTAPI PcNewPort(PPORT* OutPort, REFCLSID ClassId) {
  platform::detail::RequireIrqlAtMost(PASSIVE_LEVEL, USBAUDIO_CALLER(), "IRQL_PORTCLS_ABOVE_PASSIVE", "PcNewPort");
  *OutPort = NULL;
  if (!IsEqualGUID(ClassId, CLSID_PortWaveCyclic)) return STATUS_INVALID_PARAMETER;
  CPortWaveCyclic* port = new (kTagPort) CPortWaveCyclic(nullptr);
  if (!port) return STATUS_INSUFFICIENT_RESOURCES;
  port->AddRef();
  *OutPort = port;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PcNewServiceGroup(PSERVICEGROUP* OutServiceGroup, PUNKNOWN OuterUnknown) {
  *OutServiceGroup = NULL;
  CServiceGroup* group = new (kTagServiceGroup) CServiceGroup(OuterUnknown);
  if (!group) return STATUS_INSUFFICIENT_RESOURCES;
  // With an outer unknown the creator holds the non-delegating reference.
  group->NonDelegatingAddRef();
  *OutServiceGroup = group;
  return STATUS_SUCCESS;
}

}  // extern "C"
