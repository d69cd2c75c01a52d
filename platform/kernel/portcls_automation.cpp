// Property requests handed to the driver's automation tables as a
// PCPROPERTY_REQUEST, the port's own basic-support answer, node properties,
// and the KS size rules shared by every handler.
#include <wdm.h>
#include <ksmedia.h>

#include "platform/kernel/portcls_internal.h"

namespace platform::portcls {

namespace {

constexpr ULONG kVerbs = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;
constexpr USHORT kVtIllegal = 0xFFFF;

const PCPROPERTY_ITEM* ItemAt(const PCAUTOMATION_TABLE* table, ULONG i) {
  ULONG size = table->PropertyItemSize ? table->PropertyItemSize : sizeof(PCPROPERTY_ITEM);
  return reinterpret_cast<const PCPROPERTY_ITEM*>(reinterpret_cast<const char*>(table->Properties) + size_t(i) * size);
}

}  // namespace

NTSTATUS ReturnData(PropertyCall& call, const void* data, ULONG size) {
  if (call.valueLength == 0) {
    call.information = size;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (call.valueLength < size) return STATUS_BUFFER_TOO_SMALL;
  memcpy(call.value, data, size);
  call.information = size;
  return STATUS_SUCCESS;
}

NTSTATUS DefaultBasicSupport(PropertyCall& call, ULONG accessFlags) {
  ULONG flags = (accessFlags & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET)) | KSPROPERTY_TYPE_BASICSUPPORT;
  if (call.valueLength == 0) {
    call.information = sizeof(KSPROPERTY_DESCRIPTION);
    return STATUS_BUFFER_OVERFLOW;
  }
  if (call.valueLength >= sizeof(KSPROPERTY_DESCRIPTION)) {
    KSPROPERTY_DESCRIPTION description{};
    description.AccessFlags = flags;
    description.DescriptionSize = sizeof description;
    description.PropTypeSet.Set = KSPROPTYPESETID_General;
    description.PropTypeSet.Id = kVtIllegal;
    memcpy(call.value, &description, sizeof description);
    call.information = sizeof description;
    return STATUS_SUCCESS;
  }
  if (call.valueLength >= sizeof(ULONG)) {
    memcpy(call.value, &flags, sizeof flags);
    call.information = sizeof(ULONG);
    return STATUS_SUCCESS;
  }
  return STATUS_BUFFER_TOO_SMALL;
}

NTSTATUS DispatchAutomation(const PCAUTOMATION_TABLE* table, PUNKNOWN major, PUNKNOWN minor, ULONG node,
                            ULONG instanceOffset, PropertyCall& call) {
  if (!table || !table->Properties) return STATUS_NOT_FOUND;
  const PCPROPERTY_ITEM* item = nullptr;
  bool setKnown = false;
  for (ULONG i = 0; i < table->PropertyCount && !item; ++i) {
    const PCPROPERTY_ITEM* candidate = ItemAt(table, i);
    if (!candidate->Set || !IsEqualGUID(*candidate->Set, call.property.Set)) continue;
    setKnown = true;
    if (candidate->Id == call.property.Id) item = candidate;
  }
  ULONG verb = call.Verb();
  if (verb == KSPROPERTY_TYPE_SETSUPPORT) return setKnown ? STATUS_SUCCESS : STATUS_NOT_FOUND;
  if (!item) return STATUS_NOT_FOUND;
  if (verb != KSPROPERTY_TYPE_GET && verb != KSPROPERTY_TYPE_SET && verb != KSPROPERTY_TYPE_BASICSUPPORT)
    return STATUS_INVALID_DEVICE_REQUEST;
  if (verb == KSPROPERTY_TYPE_BASICSUPPORT && !(item->Flags & PCPROPERTY_ITEM_FLAG_BASICSUPPORT))
    return DefaultBasicSupport(call, item->Flags);
  if (!(item->Flags & verb & kVerbs) || !item->Handler) return STATUS_INVALID_DEVICE_REQUEST;

  PCPROPERTY_REQUEST request{};
  request.MajorTarget = major;
  request.MinorTarget = minor;
  request.Node = node;
  request.PropertyItem = item;
  request.Verb = verb;
  request.InstanceSize = call.inputLength - instanceOffset;
  request.Instance = request.InstanceSize ? const_cast<UCHAR*>(call.input) + instanceOffset : NULL;
  request.ValueSize = call.valueLength;
  request.Value = call.value;
  request.Irp = call.irp;
  NTSTATUS status = item->Handler(&request);
  if (status == STATUS_PENDING)
    detail::BugCheckAt(reinterpret_cast<const void*>(item->Handler), "NOT_IMPLEMENTED_BY_STAND_IN",
                       "property handler pended its request");
  if (verb != KSPROPERTY_TYPE_SET && (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW)) {
    if (request.ValueSize > call.valueLength && status != STATUS_BUFFER_OVERFLOW)
      detail::BugCheckAt(reinterpret_cast<const void*>(item->Handler), "PORTCLS_PROPERTY_OVERRUN",
                         "handler reports %u bytes in a %u-byte value buffer", request.ValueSize, call.valueLength);
    call.information = request.ValueSize;
  }
  return status;
}

NTSTATUS NodeProperty(CPortWaveCyclic* port, PUNKNOWN minor, PropertyCall& call) {
  if (call.inputLength < sizeof(KSP_NODE)) return STATUS_INVALID_BUFFER_SIZE;
  KSP_NODE request;
  memcpy(&request, call.input, sizeof request);
  const PCFILTER_DESCRIPTOR* desc = port->Descriptor();
  if (request.NodeId >= desc->NodeCount) return STATUS_INVALID_PARAMETER;
  const PCNODE_DESCRIPTOR* node = NodeDescriptor(desc, request.NodeId);
  return DispatchAutomation(node->AutomationTable, port->Miniport(), minor, request.NodeId, sizeof(KSP_NODE), call);
}

}  // namespace platform::portcls
