// CUSBAudioCL::BuildFilter: one pin per terminal, nodes for the converters
// and for every feature-unit control group, connected along the capture and
// render signal paths.
#include "driver/uac/filter_topology.h"

#include "driver/runtime/pool_object.h"
#include "driver/runtime/pool_tags.h"
#include "driver/runtime/trace.h"
#include "driver/uac/property_handlers.h"
#include "driver/uac/terminal_types.h"
#include "driver/uac/uac_defs.h"
#include "driver/uac/usbaudiocl.h"

namespace {

// ---- Constant tables --------------------------------------------------------

const PCPROPERTY_ITEM FilterProperties[] = {
    {&KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT, PropertyHandler_Filter},
    {&KSPROPSETID_AsioChannel, KSPROPERTY_ASIO_DSD_MODE, PCPROPERTY_ITEM_FLAG_SET, PropertyHandler_Filter},
};
DEFINE_PCAUTOMATION_TABLE_PROP(FilterAutomation, FilterProperties);

constexpr ULONG GET_SET_SUPPORT =
    PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT;
constexpr ULONG SET_SUPPORT = PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT;

const PCPROPERTY_ITEM RenderPinProperties[] = {
    {&KSPROPSETID_AsioChannel, KSPROPERTY_ASIO_BUFFERS, GET_SET_SUPPORT, PropertyHandler_AsioChannel},
    {&KSPROPSETID_AsioChannel, KSPROPERTY_ASIO_SET_EVENT, GET_SET_SUPPORT, PropertyHandler_AsioChannel},
    {&KSPROPSETID_AsioChannel, KSPROPERTY_ASIO_CLEAR_EVENT, GET_SET_SUPPORT, PropertyHandler_AsioChannel},
    {&KSPROPSETID_AsioChannel, KSPROPERTY_ASIO_OUTPUT_READY, SET_SUPPORT, PropertyHandler_AsioChannel},
    {&KSPROPSETID_AsioChannel, KSPROPERTY_ASIO_OUTPUT_DELAY, SET_SUPPORT, PropertyHandler_AsioChannel},
};
DEFINE_PCAUTOMATION_TABLE_PROP(RenderPinAutomation, RenderPinProperties);

const PCPROPERTY_ITEM CapturePinProperties[] = {
    {&KSPROPSETID_AsioChannel, KSPROPERTY_ASIO_BUFFERS, GET_SET_SUPPORT, PropertyHandler_AsioChannel},
    {&KSPROPSETID_AsioChannel, KSPROPERTY_ASIO_SET_EVENT, GET_SET_SUPPORT, PropertyHandler_AsioChannel},
    {&KSPROPSETID_AsioChannel, KSPROPERTY_ASIO_CLEAR_EVENT, GET_SET_SUPPORT, PropertyHandler_AsioChannel},
};
DEFINE_PCAUTOMATION_TABLE_PROP(CapturePinAutomation, CapturePinProperties);

const PCPROPERTY_ITEM MuteProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, GET_SET_SUPPORT, PropertyHandler_Node},
};
DEFINE_PCAUTOMATION_TABLE_PROP(MuteAutomation, MuteProperties);

const PCPROPERTY_ITEM VolumeProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, GET_SET_SUPPORT, PropertyHandler_Node},
};
DEFINE_PCAUTOMATION_TABLE_PROP(VolumeAutomation, VolumeProperties);

// Analogue signal at a bridge pin.
const KSDATARANGE BridgeDataRange = {{sizeof(KSDATARANGE), 0, 0, 0, {STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO)},
                                      {STATICGUIDOF(KSDATAFORMAT_SUBTYPE_ANALOG)},
                                      {STATICGUIDOF(KSDATAFORMAT_SPECIFIER_NONE)}}};
const PKSDATARANGE BridgeDataRanges[] = {const_cast<PKSDATARANGE>(&BridgeDataRange)};

// Feature-unit controls (zero-based control numbers) that share one node, in
// node order.
struct ControlGroup {
    ULONG Controls;
    const GUID* Type;
    const PCAUTOMATION_TABLE* Automation;
};

constexpr ULONG Control(ULONG number) {
    return 1UL << number;
}

const ControlGroup FeatureControlGroups[] = {
    {Control(0), &KSNODETYPE_MUTE, &MuteAutomation},
    {Control(1), &KSNODETYPE_VOLUME, &VolumeAutomation},
    {Control(2) | Control(3) | Control(4) | Control(8), &KSNODETYPE_TONE, NULL},
    {Control(5), &KSNODETYPE_EQUALIZER, NULL},
    {Control(6), &KSNODETYPE_AGC, NULL},
    {Control(7), &KSNODETYPE_DELAY, NULL},
    {Control(9), &KSNODETYPE_LOUDNESS, NULL},
    {Control(10), &KSNODETYPE_DEV_SPECIFIC, NULL},
    {Control(11), &KSNODETYPE_DEV_SPECIFIC, NULL},
    {Control(12), &KSNODETYPE_DEV_SPECIFIC, NULL},
    {Control(13), &KSNODETYPE_DEV_SPECIFIC, NULL},
    {Control(14), &KSNODETYPE_DEV_SPECIFIC, NULL},
};
constexpr ULONG HIGHEST_FEATURE_CONTROL = 14;

// ---- Helpers ------------------------------------------------------------------

FilterElement* ElementOf(LIST_ENTRY* link) {
    return CONTAINING_RECORD(link, FilterElement, Link);
}

BOOLEAN IsStreamingTerminal(CUSBAudioCL* audio, CUSBAudioEntity* terminal) {
    return audio->GetTerminalType(static_cast<CUSBAudioTerminal*>(terminal)) == uac::TERMINAL_USB_STREAMING;
}

// A unit is every entity that is neither a terminal nor a clock entity.
BOOLEAN IsUnit(CUSBAudioCL* audio, CUSBAudioEntity* entity) {
    if (entity->IsTerminal()) {
        return FALSE;
    }
    const UCHAR subtype = entity->GetSubtype();
    return !(audio->IsUac2() && (subtype == uac::AC_CLOCK_SOURCE || subtype == uac::AC_CLOCK_SELECTOR ||
                                 subtype == uac::AC_CLOCK_MULTIPLIER));
}

BOOLEAN HasControlGroup(CUSBAudioCL* audio, CUSBAudioFeatureUnit* unit, const ControlGroup& group) {
    for (ULONG control = 0; control <= HIGHEST_FEATURE_CONTROL; ++control) {
        if ((group.Controls & Control(control)) != 0 && audio->HasControlOnAnyChannel(unit, control)) {
            return TRUE;
        }
    }
    return FALSE;
}

ULONG UnitNodeCount(CUSBAudioCL* audio, CUSBAudioEntity* unit) {
    if (unit->GetKind() != UacEntityFeatureUnit) {
        return 1;
    }
    ULONG count = 0;
    for (const ControlGroup& group : FeatureControlGroups) {
        if (HasControlGroup(audio, static_cast<CUSBAudioFeatureUnit*>(unit), group)) {
            ++count;
        }
    }
    return count;
}

FilterElement* AllocateElements(ULONG count) {
    return static_cast<FilterElement*>(AllocateZeroedPool((SIZE_T)count * sizeof(FilterElement), POOLTAG_USB));
}

// Puts a node directly after (or before) an element of a chain. A node that
// already sits in a chain leaves it first, so no ring ever holds it twice.
VOID MoveNode(FilterElement* node, FilterElement* anchor, BOOLEAN after) {
    if (node == anchor) {
        return;
    }
    if (node->Link.Flink != NULL) {
        RemoveEntryList(&node->Link);
    }
    if (after) {
        InsertHeadList(&anchor->Link, &node->Link);
    } else {
        InsertTailList(&anchor->Link, &node->Link);
    }
}

// Elements of a chain. A proper ring never holds more than every element
// once; the limit keeps a walk finite whatever happens to the links.
ULONG ChainLength(LIST_ENTRY* head, ULONG limit) {
    ULONG length = 0;
    for (LIST_ENTRY* link = head->Flink; link != head && length < limit; link = link->Flink) {
        ++length;
    }
    return length;
}

// The first element of the capture chain, then of the render chain, whose
// entity has the ID.
FilterElement* FindInChains(LIST_ENTRY* capture, LIST_ENTRY* render, ULONG id, ULONG limit) {
    LIST_ENTRY* heads[] = {capture, render};
    for (LIST_ENTRY* head : heads) {
        ULONG steps = 0;
        for (LIST_ENTRY* link = head->Flink; link != head && steps < limit; link = link->Flink, ++steps) {
            FilterElement* element = ElementOf(link);
            if (element->Entity != NULL && element->Entity->GetId() == id) {
                return element;
            }
        }
    }
    return NULL;
}

// One connection per neighbouring pair: a pin end is (filter, pin ID), a node
// end its output pin as the source and its input pin as the destination.
ULONG EmitConnections(LIST_ENTRY* head, PCCONNECTION_DESCRIPTOR* out, ULONG room) {
    ULONG written = 0;
    LIST_ENTRY* link = head->Flink;
    while (link != head && link->Flink != head && written < room) {
        const FilterElement* from = ElementOf(link);
        const FilterElement* to = ElementOf(link->Flink);
        PCCONNECTION_DESCRIPTOR& connection = out[written++];
        connection.FromNode = from->IsPin ? PCFILTER_NODE : from->Index;
        connection.FromNodePin = from->IsPin ? from->Index : KSNODEPIN_STANDARD_OUT;
        connection.ToNode = to->IsPin ? PCFILTER_NODE : to->Index;
        connection.ToNodePin = to->IsPin ? to->Index : KSNODEPIN_STANDARD_IN;
        link = link->Flink;
    }
    return written;
}

VOID TraceFilter(const PCFILTER_DESCRIPTOR* filter) {
    CHAR name[32];
    UA_TRACE("filter: %lu pins, %lu nodes, %lu connections", (unsigned long)filter->PinCount,
             (unsigned long)filter->NodeCount, (unsigned long)filter->ConnectionCount);
    for (ULONG i = 0; i < filter->PinCount; ++i) {
        const FilterElement* pin = FilterPinElement(filter, i);
        if (!NT_SUCCESS(pin->Entity->GetName(name, sizeof(name)))) {
            name[0] = '\0';
        }
        UA_TRACE("  pin %lu: %s, %s", (unsigned long)i, name, GuidTraceName(pin->Pin.KsPinDescriptor.Category));
    }
    for (ULONG i = 0; i < filter->NodeCount; ++i) {
        const FilterElement* node = FilterNodeElement(filter, i);
        const char* typeName = GuidTraceName(node->Node.Type);
        if (node->Entity == NULL) {
            RtlStringCchCopyA(name, sizeof(name), typeName);
        } else if (!NT_SUCCESS(node->Entity->GetName(name, sizeof(name)))) {
            name[0] = '\0';
        }
        UA_TRACE("  node %lu: %s, %s", (unsigned long)i, name, typeName);
    }
    for (ULONG i = 0; i < filter->ConnectionCount; ++i) {
        const PCCONNECTION_DESCRIPTOR& c = filter->Connections[i];
        UA_TRACE("  connection %lu: %ld.%lu -> %ld.%lu", (unsigned long)i, (long)(LONG)c.FromNode,
                 (unsigned long)c.FromNodePin, (long)(LONG)c.ToNode, (unsigned long)c.ToNodePin);
    }
}

}  // namespace

// ---- Walking a built filter ---------------------------------------------------

FilterElement* FilterPinElement(const PCFILTER_DESCRIPTOR* filter, ULONG pinId) {
    if (filter == NULL || filter->Pins == NULL || pinId >= filter->PinCount) {
        return NULL;
    }
    return reinterpret_cast<FilterElement*>(reinterpret_cast<ULONG_PTR>(filter->Pins) + (ULONG_PTR)pinId * filter->PinSize);
}

FilterElement* FilterNodeElement(const PCFILTER_DESCRIPTOR* filter, ULONG nodeId) {
    if (filter == NULL || filter->Nodes == NULL || nodeId >= filter->NodeCount) {
        return NULL;
    }
    return reinterpret_cast<FilterElement*>(reinterpret_cast<ULONG_PTR>(filter->Nodes) +
                                            (ULONG_PTR)nodeId * filter->NodeSize);
}

FilterElement* FilterChainNext(const FilterElement* element) {
    return element->Link.Flink != NULL ? ElementOf(element->Link.Flink) : NULL;
}

FilterElement* FilterChainPrevious(const FilterElement* element) {
    return element->Link.Blink != NULL ? ElementOf(element->Link.Blink) : NULL;
}

// ---- Building -------------------------------------------------------------------

namespace {

// A filter under construction: its element arrays and the two signal chains
// (rings with a head on the stack) that the pins and nodes are linked into.
struct FilterDraft {
    LIST_ENTRY Capture;
    LIST_ENTRY Render;
    FilterElement* Pins;
    ULONG PinCount;
    FilterElement* Nodes;
    ULONG NodeCount;
    FilterElement* Adc;
    FilterElement* Dac;
    PCCONNECTION_DESCRIPTOR* Connections;
    ULONG ConnectionCount;
};

// Releases the arrays in reverse order of allocation.
VOID FreeDraft(FilterDraft& draft) {
    if (draft.Connections != NULL) {
        ExFreePoolWithTag(draft.Connections, POOLTAG_USB);
        draft.Connections = NULL;
    }
    if (draft.Nodes != NULL) {
        ExFreePoolWithTag(draft.Nodes, POOLTAG_USB);
        draft.Nodes = NULL;
    }
    if (draft.Pins != NULL) {
        ExFreePoolWithTag(draft.Pins, POOLTAG_USB);
        draft.Pins = NULL;
    }
}

VOID DescribeStreamingPin(FilterElement& pin, BOOLEAN input, StreamingInterface* streaming, FilterDraft& draft) {
    KSPIN_DESCRIPTOR& ks = pin.Pin.KsPinDescriptor;
    pin.Pin.MaxGlobalInstanceCount = 1;
    pin.Pin.MaxFilterInstanceCount = 1;
    pin.Pin.MinFilterInstanceCount = 0;
    pin.Pin.AutomationTable = input ? &RenderPinAutomation : &CapturePinAutomation;
    ks.Communication = KSPIN_COMMUNICATION_SINK;
    ks.Category = &KSCATEGORY_AUDIO;
    if (streaming != NULL && streaming->DataRangeStorage != NULL && streaming->AlternateCount > 1) {
        ks.DataRangesCount = streaming->AlternateCount - 1;
        ks.DataRanges = static_cast<const PKSDATARANGE*>(streaming->DataRangeStorage) + 1;
    }
    // The host side starts the render chain and ends the capture chain.
    if (input) {
        InsertHeadList(&draft.Render, &pin.Link);
    } else {
        InsertTailList(&draft.Capture, &pin.Link);
    }
}

VOID DescribeBridgePin(CUSBAudioCL* audio, FilterElement& pin, BOOLEAN input, FilterDraft& draft) {
    KSPIN_DESCRIPTOR& ks = pin.Pin.KsPinDescriptor;
    ks.Communication = KSPIN_COMMUNICATION_NONE;
    ks.Category = TerminalTypeCategory(audio->GetTerminalType(static_cast<CUSBAudioTerminal*>(pin.Entity)));
    ks.DataRangesCount = 1;
    ks.DataRanges = BridgeDataRanges;
    if (input) {
        InsertHeadList(&draft.Capture, &pin.Link);
    } else {
        InsertTailList(&draft.Render, &pin.Link);
    }
}

// Pins, one per terminal in entity order; each joins its chain.
NTSTATUS CreatePins(CUSBAudioCL* audio, FilterDraft& draft) {
    for (CUSBAudioEntity* entity = audio->GetEntities(); entity != NULL; entity = entity->Next) {
        if (entity->IsTerminal()) {
            ++draft.PinCount;
        }
    }
    if (draft.PinCount == 0) {
        UA_TRACE("filter: the function has no terminals");
        return STATUS_SUCCESS;
    }
    if ((draft.Pins = AllocateElements(draft.PinCount)) == NULL) {
        UA_ERROR("filter: no memory for %lu pins", (unsigned long)draft.PinCount);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG pinId = 0;
    for (CUSBAudioEntity* entity = audio->GetEntities(); entity != NULL; entity = entity->Next) {
        if (!entity->IsTerminal()) {
            continue;
        }
        FilterElement& pin = draft.Pins[pinId];
        pin.Entity = entity;
        pin.Index = pinId++;
        pin.IsPin = 1;
        const BOOLEAN input = entity->GetKind() == UacEntityInputTerminal;
        pin.Pin.KsPinDescriptor.DataFlow = input ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT;
        if (IsStreamingTerminal(audio, entity)) {
            DescribeStreamingPin(pin, input, input ? audio->GetRenderInterface() : audio->GetCaptureInterface(), draft);
        } else {
            DescribeBridgePin(audio, pin, input, draft);
        }
    }
    return STATUS_SUCCESS;
}

// Nodes in ID order: the converters of non-empty chains, then each unit's
// nodes (one per feature-unit control group, one for any other unit).
NTSTATUS CreateNodes(CUSBAudioCL* audio, FilterDraft& draft) {
    const BOOLEAN hasAdc = !IsListEmpty(&draft.Capture);
    const BOOLEAN hasDac = !IsListEmpty(&draft.Render);
    draft.NodeCount = (hasAdc ? 1 : 0) + (hasDac ? 1 : 0);
    for (CUSBAudioEntity* entity = audio->GetEntities(); entity != NULL; entity = entity->Next) {
        if (IsUnit(audio, entity)) {
            draft.NodeCount += UnitNodeCount(audio, entity);
        }
    }
    if (draft.NodeCount == 0) {
        return STATUS_SUCCESS;
    }
    if ((draft.Nodes = AllocateElements(draft.NodeCount)) == NULL) {
        UA_ERROR("filter: no memory for %lu nodes", (unsigned long)draft.NodeCount);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG nodeId = 0;
    if (hasAdc) {
        draft.Adc = &draft.Nodes[nodeId];
        draft.Adc->Index = nodeId++;
        draft.Adc->Node.Type = &KSNODETYPE_ADC;
    }
    if (hasDac) {
        draft.Dac = &draft.Nodes[nodeId];
        draft.Dac->Index = nodeId++;
        draft.Dac->Node.Type = &KSNODETYPE_DAC;
    }
    for (CUSBAudioEntity* entity = audio->GetEntities(); entity != NULL; entity = entity->Next) {
        if (!IsUnit(audio, entity)) {
            continue;
        }
        if (entity->GetKind() != UacEntityFeatureUnit) {
            FilterElement& node = draft.Nodes[nodeId];
            node.Entity = entity;
            node.Index = nodeId++;
            node.Node.Type = &KSNODETYPE_DEV_SPECIFIC;
            continue;
        }
        for (const ControlGroup& group : FeatureControlGroups) {
            if (!HasControlGroup(audio, static_cast<CUSBAudioFeatureUnit*>(entity), group)) {
                continue;
            }
            FilterElement& node = draft.Nodes[nodeId];
            node.Entity = entity;
            node.Index = nodeId++;
            node.Node.Type = group.Type;
            node.Node.AutomationTable = group.Automation;
        }
    }
    return STATUS_SUCCESS;
}

// Links the nodes into the chains. Each unit node goes right after the first
// element fed by the unit's source, so later nodes of one unit land in front
// of its earlier ones. The ADC follows a bridge input and the DAC precedes a
// bridge output; with several bridge pins of one direction the converter
// moves on and stays beside the last of them.
VOID PlaceNodes(CUSBAudioCL* audio, FilterDraft& draft) {
    const ULONG elementCount = draft.PinCount + draft.NodeCount;
    for (ULONG i = 0; i < draft.NodeCount; ++i) {
        FilterElement& node = draft.Nodes[i];
        if (node.Entity == NULL) {
            continue;
        }
        FilterElement* source =
            FindInChains(&draft.Capture, &draft.Render, node.Entity->GetSourceId(0), elementCount);
        if (source != NULL) {
            MoveNode(&node, source, TRUE);
        }
    }
    for (ULONG i = 0; i < draft.PinCount; ++i) {
        FilterElement& pin = draft.Pins[i];
        if (IsStreamingTerminal(audio, pin.Entity)) {
            continue;
        }
        if (pin.Pin.KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_IN) {
            if (draft.Adc != NULL) {
                MoveNode(draft.Adc, &pin, TRUE);
            }
        } else if (draft.Dac != NULL) {
            MoveNode(draft.Dac, &pin, FALSE);
        }
    }
}

// Connections along the capture chain, then the render chain.
NTSTATUS ConnectChains(FilterDraft& draft) {
    const ULONG elementCount = draft.PinCount + draft.NodeCount;
    const ULONG captureLength = ChainLength(&draft.Capture, elementCount);
    const ULONG renderLength = ChainLength(&draft.Render, elementCount);
    draft.ConnectionCount =
        (captureLength > 0 ? captureLength - 1 : 0) + (renderLength > 0 ? renderLength - 1 : 0);
    if (draft.ConnectionCount == 0) {
        return STATUS_SUCCESS;
    }
    draft.Connections = static_cast<PCCONNECTION_DESCRIPTOR*>(
        AllocateZeroedPool((SIZE_T)draft.ConnectionCount * sizeof(PCCONNECTION_DESCRIPTOR), POOLTAG_USB));
    if (draft.Connections == NULL) {
        UA_ERROR("filter: no memory for %lu connections", (unsigned long)draft.ConnectionCount);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const ULONG written = EmitConnections(&draft.Capture, draft.Connections, draft.ConnectionCount);
    EmitConnections(&draft.Render, draft.Connections + written, draft.ConnectionCount - written);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS CUSBAudioCL::BuildFilter(PPCFILTER_DESCRIPTOR filter) {
    RtlZeroMemory(filter, sizeof(*filter));
    FilterDraft draft;
    RtlZeroMemory(&draft, sizeof(draft));
    InitializeListHead(&draft.Capture);
    InitializeListHead(&draft.Render);
    NTSTATUS status = CreatePins(this, draft);
    if (NT_SUCCESS(status)) {
        status = CreateNodes(this, draft);
    }
    if (NT_SUCCESS(status)) {
        PlaceNodes(this, draft);
        status = ConnectChains(draft);
    }
    if (!NT_SUCCESS(status)) {
        FreeDraft(draft);
        return status;
    }
    // Without their heads the chains stay rings through the elements.
    RemoveEntryList(&draft.Capture);
    RemoveEntryList(&draft.Render);

    filter->Version = 0;
    filter->AutomationTable = &FilterAutomation;
    filter->PinSize = sizeof(FilterElement);
    filter->PinCount = draft.PinCount;
    filter->Pins = draft.Pins != NULL ? &draft.Pins[0].Pin : NULL;
    filter->NodeSize = sizeof(FilterElement);
    filter->NodeCount = draft.NodeCount;
    filter->Nodes = draft.Nodes != NULL ? &draft.Nodes[0].Node : NULL;
    filter->ConnectionCount = draft.ConnectionCount;
    filter->Connections = draft.Connections;
    filter->CategoryCount = 0;
    filter->Categories = NULL;
    TraceFilter(filter);
    return STATUS_SUCCESS;
}

VOID CUSBAudioCL::FreeFilter(PPCFILTER_DESCRIPTOR filter) {
    if (filter->Connections != NULL) {
        ExFreePoolWithTag(const_cast<PCCONNECTION_DESCRIPTOR*>(filter->Connections), POOLTAG_USB);
    }
    if (filter->Nodes != NULL) {
        ExFreePoolWithTag(const_cast<PCNODE_DESCRIPTOR*>(filter->Nodes), POOLTAG_USB);
    }
    if (filter->Pins != NULL) {
        ExFreePoolWithTag(const_cast<PCPIN_DESCRIPTOR*>(filter->Pins), POOLTAG_USB);
    }
    filter->Connections = NULL;
    filter->ConnectionCount = 0;
    filter->Nodes = NULL;
    filter->NodeCount = 0;
    filter->Pins = NULL;
    filter->PinCount = 0;
}
