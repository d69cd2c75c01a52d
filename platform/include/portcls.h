/* Host stand-in for the DDK's <portcls.h>: the port library's descriptor
   layouts (filter, pins, nodes, connections, automation tables) and its
   property requests, with the DDK's names, x64 layouts and values. The
   port and miniport COM interfaces are added here as the driver starts to
   implement them; their host implementation lives in platform/kernel. */
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

#endif
