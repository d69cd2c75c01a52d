// The KS filter description built from the entity graph by
// CUSBAudioCL::BuildFilter: the layout of its pin and node entries and how to
// walk the signal chains that link them.
#pragma once

#include "driver/runtime/kernel_prelude.h"
#include "driver/uac/entities.h"

// One pin or node of the filter. The port library reads the descriptor at the
// front and steps over the driver's fields, since PinSize and NodeSize are the
// size of this entry.
struct FilterElement {
    union {
        PCPIN_DESCRIPTOR Pin;
        PCNODE_DESCRIPTOR Node;
    };
    // Pins: the terminal. Nodes: the unit, or null for the ADC and DAC.
    CUSBAudioEntity* Entity;
    // The pin ID or node ID.
    ULONG Index;
    UCHAR IsPin;
    // Ring through the elements of one signal path, in signal order. A node
    // outside every path keeps both pointers null.
    LIST_ENTRY Link;
};

constexpr ULONG FILTER_ELEMENT_SIZE = 144;
static_assert(sizeof(FilterElement) == FILTER_ELEMENT_SIZE, "pin and node entries are 144 bytes");
static_assert(FIELD_OFFSET(FilterElement, Entity) == sizeof(PCPIN_DESCRIPTOR), "driver fields follow the pin");
static_assert(FIELD_OFFSET(FilterElement, Index) == 120, "element index");
static_assert(FIELD_OFFSET(FilterElement, IsPin) == 124, "is-pin flag");
static_assert(FIELD_OFFSET(FilterElement, Link) == 128, "chain link");

// Element of a pin or node ID of a built filter; null when out of range.
FilterElement* FilterPinElement(const PCFILTER_DESCRIPTOR* filter, ULONG pinId);
FilterElement* FilterNodeElement(const PCFILTER_DESCRIPTOR* filter, ULONG nodeId);

// The elements that follow and precede an element on its signal path. The
// path is a ring, so the walk wraps around; null when the element is on no
// path.
FilterElement* FilterChainNext(const FilterElement* element);
FilterElement* FilterChainPrevious(const FilterElement* element);
