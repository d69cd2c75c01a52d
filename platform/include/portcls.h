/* Host stand-in for the DDK's <portcls.h>: the port library's descriptor
   layouts (filter, pins, nodes, connections, automation tables), its
   property requests, the port/miniport/stream COM interfaces (same method
   order, so the same vtable slots, as the DDK's) and the Pc* functions,
   with the DDK's names, x64 layouts and values. The host implementation of
   the port library lives in platform/kernel/portcls_*.cpp. */
#ifndef USBAUDIO_PLATFORM_PORTCLS_H
#define USBAUDIO_PLATFORM_PORTCLS_H

#include <wdm.h>
#include <mmreg.h>
#include <punknown.h>
#include <ks.h>
#include <ksmedia.h>

#define PORTCLASSAPI EXTERN_C

/* Node id of the filter itself in connection descriptors. */
#define PCFILTER_NODE KSFILTER_NODE

#define PORT_CLASS_DEVICE_EXTENSION_SIZE (64 * sizeof(ULONG_PTR))

/* ---- Automation: properties, methods, events ---------------------------- */

struct _PCPROPERTY_REQUEST;
typedef struct _PCPROPERTY_REQUEST PCPROPERTY_REQUEST, *PPCPROPERTY_REQUEST;

typedef NTSTATUS(NTAPI *PCPFNPROPERTY_HANDLER)(PPCPROPERTY_REQUEST PropertyRequest);

#define PCPROPERTY_ITEM_FLAG_GET KSPROPERTY_TYPE_GET
#define PCPROPERTY_ITEM_FLAG_SET KSPROPERTY_TYPE_SET
#define PCPROPERTY_ITEM_FLAG_BASICSUPPORT KSPROPERTY_TYPE_BASICSUPPORT
#define PCPROPERTY_ITEM_FLAG_SERIALIZERAW KSPROPERTY_TYPE_SERIALIZERAW
#define PCPROPERTY_ITEM_FLAG_UNSERIALIZERAW KSPROPERTY_TYPE_UNSERIALIZERAW
#define PCPROPERTY_ITEM_FLAG_SERIALIZESIZE KSPROPERTY_TYPE_SERIALIZESIZE
#define PCPROPERTY_ITEM_FLAG_SERIALIZE \
  (PCPROPERTY_ITEM_FLAG_SERIALIZERAW | PCPROPERTY_ITEM_FLAG_UNSERIALIZERAW | PCPROPERTY_ITEM_FLAG_SERIALIZESIZE)
#define PCPROPERTY_ITEM_FLAG_DEFAULTVALUES KSPROPERTY_TYPE_DEFAULTVALUES

/* One property of an automation table (24 bytes). */
typedef struct {
  const GUID *Set;
  ULONG Id;
  ULONG Flags;
  PCPFNPROPERTY_HANDLER Handler;
} PCPROPERTY_ITEM, *PPCPROPERTY_ITEM;

/* What a property handler receives: the targets (miniport and stream), the
   node (or PCFILTER_NODE), the item that matched, the verb (GET, SET or
   BASICSUPPORT flags), and the instance and value buffers of the request. */
struct _PCPROPERTY_REQUEST {
  PUNKNOWN MajorTarget;
  PUNKNOWN MinorTarget;
  ULONG Node;
  const PCPROPERTY_ITEM *PropertyItem;
  ULONG Verb;
  ULONG InstanceSize;
  PVOID Instance;
  ULONG ValueSize;
  PVOID Value;
  PIRP Irp;
};

#define PCEVENT_ITEM_FLAG_ENABLE KSEVENT_TYPE_ENABLE
#define PCEVENT_ITEM_FLAG_ONESHOT KSEVENT_TYPE_ONESHOT
#define PCEVENT_ITEM_FLAG_BASICSUPPORT KSEVENT_TYPE_BASICSUPPORT

#define PCEVENT_VERB_NONE 0
#define PCEVENT_VERB_ADD 1
#define PCEVENT_VERB_REMOVE 2
#define PCEVENT_VERB_SUPPORT 4

struct _PCEVENT_REQUEST;
typedef NTSTATUS(NTAPI *PCPFNEVENT_HANDLER)(struct _PCEVENT_REQUEST *EventRequest);

typedef struct _PCEVENT_ITEM {
  const GUID *Set;
  ULONG Id;
  ULONG Flags;
  PCPFNEVENT_HANDLER Handler;
} PCEVENT_ITEM, *PPCEVENT_ITEM;

typedef struct _PCEVENT_REQUEST {
  PUNKNOWN MajorTarget;
  PUNKNOWN MinorTarget;
  ULONG Node;
  const PCEVENT_ITEM *EventItem;
  PKSEVENT_ENTRY EventEntry;
  ULONG Verb;
  PIRP Irp;
} PCEVENT_REQUEST, *PPCEVENT_REQUEST;

#define PCMETHOD_ITEM_FLAG_NONE KSMETHOD_TYPE_NONE
#define PCMETHOD_ITEM_FLAG_READ KSMETHOD_TYPE_READ
#define PCMETHOD_ITEM_FLAG_WRITE KSMETHOD_TYPE_WRITE
#define PCMETHOD_ITEM_FLAG_MODIFY KSMETHOD_TYPE_MODIFY
#define PCMETHOD_ITEM_FLAG_SOURCE KSMETHOD_TYPE_SOURCE
#define PCMETHOD_ITEM_FLAG_BASICSUPPORT KSMETHOD_TYPE_BASICSUPPORT

struct _PCMETHOD_REQUEST;
typedef NTSTATUS(NTAPI *PCPFNMETHOD_HANDLER)(struct _PCMETHOD_REQUEST *MethodRequest);

typedef struct _PCMETHOD_ITEM {
  const GUID *Set;
  ULONG Id;
  ULONG Flags;
  PCPFNMETHOD_HANDLER Handler;
} PCMETHOD_ITEM, *PPCMETHOD_ITEM;

typedef struct _PCMETHOD_REQUEST {
  PUNKNOWN MajorTarget;
  PUNKNOWN MinorTarget;
  ULONG Node;
  const PCMETHOD_ITEM *MethodItem;
  ULONG Verb;
} PCMETHOD_REQUEST, *PPCMETHOD_REQUEST;

/* Properties, methods and events of a filter, pin or node (56 bytes). */
typedef struct {
  ULONG PropertyItemSize;
  ULONG PropertyCount;
  const PCPROPERTY_ITEM *Properties;
  ULONG MethodItemSize;
  ULONG MethodCount;
  const PCMETHOD_ITEM *Methods;
  ULONG EventItemSize;
  ULONG EventCount;
  const PCEVENT_ITEM *Events;
  ULONG Reserved;
} PCAUTOMATION_TABLE, *PPCAUTOMATION_TABLE;

#define DEFINE_PCAUTOMATION_TABLE_PROP(AutomationTable, PropertyTable)                          \
  const PCAUTOMATION_TABLE AutomationTable = {sizeof(PropertyTable[0]), SIZEOF_ARRAY(PropertyTable), \
                                              (const PCPROPERTY_ITEM *)PropertyTable,             \
                                              0, 0, NULL, 0, 0, NULL, 0}

#define DEFINE_PCAUTOMATION_TABLE_PROP_EVENT(AutomationTable, PropertyTable, EventTable)         \
  const PCAUTOMATION_TABLE AutomationTable = {sizeof(PropertyTable[0]), SIZEOF_ARRAY(PropertyTable), \
                                              (const PCPROPERTY_ITEM *)PropertyTable,             \
                                              0, 0, NULL,                                         \
                                              sizeof(EventTable[0]), SIZEOF_ARRAY(EventTable),    \
                                              (const PCEVENT_ITEM *)EventTable, 0}

/* ---- Filter description ------------------------------------------------- */

/* A connection between two node pins; a filter pin has node PCFILTER_NODE. */
typedef struct {
  ULONG FromNode;
  ULONG FromNodePin;
  ULONG ToNode;
  ULONG ToNodePin;
} PCCONNECTION_DESCRIPTOR, *PPCCONNECTION_DESCRIPTOR;

/* A filter pin (112 bytes). A filter may use larger entries (PinSize). */
typedef struct {
  ULONG MaxGlobalInstanceCount;
  ULONG MaxFilterInstanceCount;
  ULONG MinFilterInstanceCount;
  const PCAUTOMATION_TABLE *AutomationTable;
  KSPIN_DESCRIPTOR KsPinDescriptor;
} PCPIN_DESCRIPTOR, *PPCPIN_DESCRIPTOR;

/* A topology node (32 bytes). A filter may use larger entries (NodeSize). */
typedef struct {
  ULONG Flags;
  const PCAUTOMATION_TABLE *AutomationTable;
  const GUID *Type;
  const GUID *Name;
} PCNODE_DESCRIPTOR, *PPCNODE_DESCRIPTOR;

/* A filter (80 bytes). */
typedef struct {
  ULONG Version;
  const PCAUTOMATION_TABLE *AutomationTable;
  ULONG PinSize;
  ULONG PinCount;
  const PCPIN_DESCRIPTOR *Pins;
  ULONG NodeSize;
  ULONG NodeCount;
  const PCNODE_DESCRIPTOR *Nodes;
  ULONG ConnectionCount;
  const PCCONNECTION_DESCRIPTOR *Connections;
  ULONG CategoryCount;
  const GUID *Categories;
} PCFILTER_DESCRIPTOR, *PPCFILTER_DESCRIPTOR;

/* ---- COM interfaces ------------------------------------------------------ */

#ifdef __cplusplus

struct IRegistryKey; /* only named by IPort::NewRegistryKey */
typedef struct IRegistryKey *PREGISTRYKEY;

/* Hardware resources handed to the start routine. */
DEFINE_GUID(IID_IResourceList, 0x22C6AC60L, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);

DECLARE_INTERFACE_(IResourceList, IUnknown) {
  DEFINE_ABSTRACT_UNKNOWN()
  STDMETHOD_(ULONG, NumberOfEntries)(THIS) PURE;
  STDMETHOD_(ULONG, NumberOfEntriesOfType)(THIS_ CM_RESOURCE_TYPE Type) PURE;
  STDMETHOD_(PCM_PARTIAL_RESOURCE_DESCRIPTOR, FindTranslatedEntry)(THIS_ CM_RESOURCE_TYPE Type, ULONG Index) PURE;
  STDMETHOD_(PCM_PARTIAL_RESOURCE_DESCRIPTOR, FindUntranslatedEntry)(THIS_ CM_RESOURCE_TYPE Type, ULONG Index) PURE;
  STDMETHOD_(NTSTATUS, AddEntry)(THIS_ PCM_PARTIAL_RESOURCE_DESCRIPTOR Translated,
                                 PCM_PARTIAL_RESOURCE_DESCRIPTOR Untranslated) PURE;
  STDMETHOD_(NTSTATUS, AddEntryFromParent)(THIS_ struct IResourceList *Parent, CM_RESOURCE_TYPE Type,
                                           ULONG Index) PURE;
  STDMETHOD_(PCM_RESOURCE_LIST, TranslatedList)(THIS) PURE;
  STDMETHOD_(PCM_RESOURCE_LIST, UntranslatedList)(THIS) PURE;
};
typedef IResourceList *PRESOURCELIST;

/* Something that wants service (a port's stream) and the group that
   services its members together. */
DEFINE_GUID(IID_IServiceSink, 0x22C6AC64L, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);

DECLARE_INTERFACE_(IServiceSink, IUnknown) {
  DEFINE_ABSTRACT_UNKNOWN()
  STDMETHOD_(void, RequestService)(THIS) PURE;
};
typedef IServiceSink *PSERVICESINK;

#define IMP_IServiceSink STDMETHODIMP_(void) RequestService(void);

DEFINE_GUID(IID_IServiceGroup, 0x22C6AC65L, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);

DECLARE_INTERFACE_(IServiceGroup, IServiceSink) {
  DEFINE_ABSTRACT_UNKNOWN()
  STDMETHOD_(void, RequestService)(THIS) PURE;
  STDMETHOD_(NTSTATUS, AddMember)(THIS_ PSERVICESINK pServiceSink) PURE;
  STDMETHOD_(void, RemoveMember)(THIS_ PSERVICESINK pServiceSink) PURE;
  STDMETHOD_(void, SupportDelayedService)(THIS) PURE;
  STDMETHOD_(void, RequestDelayedService)(THIS_ ULONGLONG ullDelay) PURE;
  STDMETHOD_(void, CancelDelayedService)(THIS) PURE;
};
typedef IServiceGroup *PSERVICEGROUP;

#define IMP_IServiceGroup                                           \
  IMP_IServiceSink;                                                 \
  STDMETHODIMP_(NTSTATUS) AddMember(PSERVICESINK pServiceSink);     \
  STDMETHODIMP_(void) RemoveMember(PSERVICESINK pServiceSink);      \
  STDMETHODIMP_(void) SupportDelayedService(void);                  \
  STDMETHODIMP_(void) RequestDelayedService(ULONGLONG ullDelay);    \
  STDMETHODIMP_(void) CancelDelayedService(void)

/* The cyclic buffer of a stream. */
#define DEFINE_ABSTRACT_DMACHANNEL()                                                                  \
  STDMETHOD_(NTSTATUS, AllocateBuffer)(THIS_ ULONG BufferSize, PPHYSICAL_ADDRESS PhysicalAddressConstraint) PURE; \
  STDMETHOD_(void, FreeBuffer)(THIS) PURE;                                                            \
  STDMETHOD_(ULONG, TransferCount)(THIS) PURE;                                                        \
  STDMETHOD_(ULONG, MaximumBufferSize)(THIS) PURE;                                                    \
  STDMETHOD_(ULONG, AllocatedBufferSize)(THIS) PURE;                                                  \
  STDMETHOD_(ULONG, BufferSize)(THIS) PURE;                                                           \
  STDMETHOD_(void, SetBufferSize)(THIS_ ULONG BufferSize) PURE;                                       \
  STDMETHOD_(PVOID, SystemAddress)(THIS) PURE;                                                        \
  STDMETHOD_(PHYSICAL_ADDRESS, PhysicalAddress)(THIS) PURE;                                           \
  STDMETHOD_(PADAPTER_OBJECT, GetAdapterObject)(THIS) PURE;                                           \
  STDMETHOD_(void, CopyTo)(THIS_ PVOID Destination, PVOID Source, ULONG ByteCount) PURE;              \
  STDMETHOD_(void, CopyFrom)(THIS_ PVOID Destination, PVOID Source, ULONG ByteCount) PURE;

#define IMP_IDmaChannel                                                                         \
  STDMETHODIMP_(NTSTATUS) AllocateBuffer(ULONG BufferSize, PPHYSICAL_ADDRESS PhysicalAddressConstraint); \
  STDMETHODIMP_(void) FreeBuffer(void);                                                         \
  STDMETHODIMP_(ULONG) TransferCount(void);                                                     \
  STDMETHODIMP_(ULONG) MaximumBufferSize(void);                                                 \
  STDMETHODIMP_(ULONG) AllocatedBufferSize(void);                                               \
  STDMETHODIMP_(ULONG) BufferSize(void);                                                        \
  STDMETHODIMP_(void) SetBufferSize(ULONG BufferSize);                                          \
  STDMETHODIMP_(PVOID) SystemAddress(void);                                                     \
  STDMETHODIMP_(PHYSICAL_ADDRESS) PhysicalAddress(void);                                        \
  STDMETHODIMP_(PADAPTER_OBJECT) GetAdapterObject(void);                                        \
  STDMETHODIMP_(void) CopyTo(PVOID Destination, PVOID Source, ULONG ByteCount);                 \
  STDMETHODIMP_(void) CopyFrom(PVOID Destination, PVOID Source, ULONG ByteCount)

DEFINE_GUID(IID_IDmaChannel, 0x22C6AC61L, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);

DECLARE_INTERFACE_(IDmaChannel, IUnknown) {
  DEFINE_ABSTRACT_UNKNOWN()
  DEFINE_ABSTRACT_DMACHANNEL()
};
typedef IDmaChannel *PDMACHANNEL;

#define DEFINE_ABSTRACT_DMACHANNELSLAVE()                                  \
  STDMETHOD_(NTSTATUS, Start)(THIS_ ULONG MapSize, BOOLEAN WriteToDevice) PURE; \
  STDMETHOD_(NTSTATUS, Stop)(THIS) PURE;                                    \
  STDMETHOD_(ULONG, ReadCounter)(THIS) PURE;                                \
  STDMETHOD_(NTSTATUS, WaitForTC)(THIS_ ULONG Timeout) PURE;

DEFINE_GUID(IID_IDmaChannelSlave, 0x22C6AC62L, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);

DECLARE_INTERFACE_(IDmaChannelSlave, IDmaChannel) {
  DEFINE_ABSTRACT_UNKNOWN()
  DEFINE_ABSTRACT_DMACHANNEL()
  DEFINE_ABSTRACT_DMACHANNELSLAVE()
};
typedef IDmaChannelSlave *PDMACHANNELSLAVE;

/* Ports. */
DEFINE_GUID(IID_IMiniport, 0xB4C90A24L, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
DEFINE_GUID(IID_IPort, 0xB4C90A25L, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);

#define DEFINE_ABSTRACT_PORT()                                                                                   \
  STDMETHOD_(NTSTATUS, Init)(THIS_ PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport,               \
                             PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList) PURE;                          \
  STDMETHOD_(NTSTATUS, GetDeviceProperty)(THIS_ DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,     \
                                          PVOID PropertyBuffer, PULONG ResultLength) PURE;                       \
  STDMETHOD_(NTSTATUS, NewRegistryKey)(THIS_ PREGISTRYKEY * OutRegistryKey, PUNKNOWN OuterUnknown,               \
                                       ULONG RegistryKeyType, ACCESS_MASK DesiredAccess,                         \
                                       POBJECT_ATTRIBUTES ObjectAttributes, ULONG CreateOptiona,                 \
                                       PULONG Disposition) PURE;

DECLARE_INTERFACE_(IPort, IUnknown) {
  DEFINE_ABSTRACT_UNKNOWN()
  DEFINE_ABSTRACT_PORT()
};
typedef IPort *PPORT;

DEFINE_GUID(IID_IPortWaveCyclic, 0xB4C90A26L, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);
DEFINE_GUID(CLSID_PortWaveCyclic, 0xB4C90A2AL, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);

DECLARE_INTERFACE_(IPortWaveCyclic, IPort) {
  DEFINE_ABSTRACT_UNKNOWN()
  DEFINE_ABSTRACT_PORT()
  STDMETHOD_(VOID, Notify)(THIS_ PSERVICEGROUP ServiceGroup) PURE;
  STDMETHOD_(NTSTATUS, NewSlaveDmaChannel)(THIS_ PDMACHANNELSLAVE * DmaChannel, PUNKNOWN OuterUnknown,
                                           PRESOURCELIST ResourceList, ULONG DmaIndex, ULONG MaximumLength,
                                           BOOLEAN DemandMode, DMA_SPEED DmaSpeed) PURE;
  STDMETHOD_(NTSTATUS, NewMasterDmaChannel)(THIS_ PDMACHANNEL * DmaChannel, PUNKNOWN OuterUnknown,
                                            PRESOURCELIST ResourceList, ULONG MaximumLength,
                                            BOOLEAN Dma32BitAddresses, BOOLEAN Dma64BitAddresses,
                                            DMA_WIDTH DmaWidth, DMA_SPEED DmaSpeed) PURE;
};
typedef IPortWaveCyclic *PPORTWAVECYCLIC;

/* Miniports. */
DEFINE_GUID(IID_IMiniPort, 0xB4C90A24L, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);

#define DEFINE_ABSTRACT_MINIPORT()                                                                          \
  STDMETHOD_(NTSTATUS, GetDescription)(THIS_ PPCFILTER_DESCRIPTOR * Description) PURE;                      \
  STDMETHOD_(NTSTATUS, DataRangeIntersection)(THIS_ ULONG PinId, PKSDATARANGE DataRange,                    \
                                              PKSDATARANGE MatchingDataRange, ULONG OutputBufferLength,     \
                                              PVOID ResultantFormat, PULONG ResultantFormatLength) PURE;

#define IMP_IMiniport                                                                                       \
  STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR * Description);                               \
  STDMETHODIMP_(NTSTATUS) DataRangeIntersection(ULONG PinId, PKSDATARANGE DataRange,                        \
                                                PKSDATARANGE MatchingDataRange, ULONG OutputBufferLength,   \
                                                PVOID ResultantFormat, PULONG ResultantFormatLength)

DECLARE_INTERFACE_(IMiniport, IUnknown) {
  DEFINE_ABSTRACT_UNKNOWN()
  DEFINE_ABSTRACT_MINIPORT()
};
typedef IMiniport *PMINIPORT;

DEFINE_GUID(IID_IMiniportWaveCyclicStream, 0xB4C90A28L, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5,
            0x44);

DECLARE_INTERFACE_(IMiniportWaveCyclicStream, IUnknown) {
  DEFINE_ABSTRACT_UNKNOWN()
  STDMETHOD_(NTSTATUS, SetFormat)(THIS_ PKSDATAFORMAT DataFormat) PURE;
  STDMETHOD_(ULONG, SetNotificationFreq)(THIS_ ULONG Interval, PULONG FrameSize) PURE;
  STDMETHOD_(NTSTATUS, SetState)(THIS_ KSSTATE State) PURE;
  STDMETHOD_(NTSTATUS, GetPosition)(THIS_ PULONG Position) PURE;
  STDMETHOD_(NTSTATUS, NormalizePhysicalPosition)(THIS_ PLONGLONG PhysicalPosition) PURE;
  STDMETHOD_(void, Silence)(THIS_ PVOID Buffer, ULONG ByteCount) PURE;
};
typedef IMiniportWaveCyclicStream *PMINIPORTWAVECYCLICSTREAM;

#define IMP_IMiniportWaveCyclicStream                                       \
  STDMETHODIMP_(NTSTATUS) SetFormat(PKSDATAFORMAT DataFormat);              \
  STDMETHODIMP_(ULONG) SetNotificationFreq(ULONG Interval, PULONG FrameSize); \
  STDMETHODIMP_(NTSTATUS) SetState(KSSTATE State);                          \
  STDMETHODIMP_(NTSTATUS) GetPosition(PULONG Position);                     \
  STDMETHODIMP_(NTSTATUS) NormalizePhysicalPosition(PLONGLONG PhysicalPosition); \
  STDMETHODIMP_(void) Silence(PVOID Buffer, ULONG ByteCount)

DEFINE_GUID(IID_IMiniportWaveCyclic, 0xB4C90A27L, 0x5791, 0x11D0, 0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44);

DECLARE_INTERFACE_(IMiniportWaveCyclic, IMiniport) {
  DEFINE_ABSTRACT_UNKNOWN()
  DEFINE_ABSTRACT_MINIPORT()
  STDMETHOD_(NTSTATUS, Init)(THIS_ PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTWAVECYCLIC Port) PURE;
  STDMETHOD_(NTSTATUS, NewStream)(THIS_ PMINIPORTWAVECYCLICSTREAM * Stream, PUNKNOWN OuterUnknown,
                                  POOL_TYPE PoolType, ULONG Pin, BOOLEAN Capture, PKSDATAFORMAT DataFormat,
                                  PDMACHANNEL * DmaChannel, PSERVICEGROUP * ServiceGroup) PURE;
};
typedef IMiniportWaveCyclic *PMINIPORTWAVECYCLIC;

#define IMP_IMiniportWaveCyclic                                                                             \
  IMP_IMiniport;                                                                                            \
  STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTWAVECYCLIC Port);  \
  STDMETHODIMP_(NTSTATUS) NewStream(PMINIPORTWAVECYCLICSTREAM * Stream, PUNKNOWN OuterUnknown,              \
                                    POOL_TYPE PoolType, ULONG Pin, BOOLEAN Capture, PKSDATAFORMAT DataFormat, \
                                    PDMACHANNEL * DmaChannel, PSERVICEGROUP * ServiceGroup)

/* Power management of the adapter and of miniports. */
DEFINE_GUID(IID_IAdapterPowerManagement, 0x793417D0L, 0x35FE, 0x11D1, 0xAD, 0x08, 0x00, 0xA0, 0xC9, 0x0A, 0xB1,
            0xB0);

DECLARE_INTERFACE_(IAdapterPowerManagement, IUnknown) {
  DEFINE_ABSTRACT_UNKNOWN()
  STDMETHOD_(void, PowerChangeState)(THIS_ POWER_STATE NewState) PURE;
  STDMETHOD_(NTSTATUS, QueryPowerChangeState)(THIS_ POWER_STATE NewStateQuery) PURE;
  STDMETHOD_(NTSTATUS, QueryDeviceCapabilities)(THIS_ PDEVICE_CAPABILITIES PowerDeviceCaps) PURE;
};
typedef IAdapterPowerManagement *PADAPTERPOWERMANAGEMENT;

#define IMP_IAdapterPowerManagement                                      \
  STDMETHODIMP_(void) PowerChangeState(POWER_STATE NewState);            \
  STDMETHODIMP_(NTSTATUS) QueryPowerChangeState(POWER_STATE NewStateQuery); \
  STDMETHODIMP_(NTSTATUS) QueryDeviceCapabilities(PDEVICE_CAPABILITIES PowerDeviceCaps)

DEFINE_GUID(IID_IPowerNotify, 0x3DD648B8L, 0x969F, 0x11D1, 0x95, 0xA9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3);

DECLARE_INTERFACE_(IPowerNotify, IUnknown) {
  DEFINE_ABSTRACT_UNKNOWN()
  STDMETHOD_(void, PowerChangeNotify)(THIS_ POWER_STATE PowerState) PURE;
};
typedef IPowerNotify *PPOWERNOTIFY;

/* Lets a miniport adjust the pin instance counts the port reports. */
DEFINE_GUID(IID_IPinCount, 0x5DADB7DCL, 0xA2CB, 0x4540, 0xA4, 0xA8, 0x42, 0x5E, 0xE4, 0xAE, 0x90, 0x51);

DECLARE_INTERFACE_(IPinCount, IUnknown) {
  DEFINE_ABSTRACT_UNKNOWN()
  STDMETHOD_(void, PinCount)(THIS_ ULONG PinId, PULONG FilterNecessary, PULONG FilterCurrent,
                             PULONG FilterPossible, PULONG GlobalCurrent, PULONG GlobalPossible) PURE;
};
typedef IPinCount *PPINCOUNT;

#endif /* __cplusplus */

/* ---- Port library functions --------------------------------------------- */

#define _100NS_UNITS_PER_SECOND 10000000L

#ifdef __cplusplus
typedef NTSTATUS(NTAPI *PCPFNSTARTDEVICE)(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList);

PORTCLASSAPI NTSTATUS NTAPI PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                                                      PDRIVER_ADD_DEVICE AddDevice);
PORTCLASSAPI NTSTATUS NTAPI PcAddAdapterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                                               PCPFNSTARTDEVICE StartDevice, ULONG MaxObjects,
                                               ULONG DeviceExtensionSize);
PORTCLASSAPI NTSTATUS NTAPI PcNewPort(PPORT *OutPort, REFCLSID ClassId);
PORTCLASSAPI NTSTATUS NTAPI PcNewServiceGroup(PSERVICEGROUP *OutServiceGroup, PUNKNOWN OuterUnknown);
PORTCLASSAPI NTSTATUS NTAPI PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PWCHAR Name, PUNKNOWN Unknown);
PORTCLASSAPI NTSTATUS NTAPI PcRegisterAdapterPowerManagement(PUNKNOWN pUnknown, PVOID pvContext1);
PORTCLASSAPI NTSTATUS NTAPI PcRequestNewPowerState(PDEVICE_OBJECT pDeviceObject, DEVICE_POWER_STATE RequestedNewState);
PORTCLASSAPI NTSTATUS NTAPI PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
PORTCLASSAPI NTSTATUS NTAPI PcCompleteIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status);
PORTCLASSAPI NTSTATUS NTAPI PcForwardIrpSynchronous(PDEVICE_OBJECT DeviceObject, PIRP Irp);
PORTCLASSAPI NTSTATUS NTAPI PcGetDeviceProperty(PVOID DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                                ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength);
PORTCLASSAPI ULONGLONG NTAPI PcGetTimeInterval(ULONGLONG Since);
#endif

#endif
