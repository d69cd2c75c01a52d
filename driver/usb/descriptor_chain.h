// Structural check of a configuration descriptor set before anything walks
// it: every descriptor lies inside the set, has a sane bLength, and the chain
// ends exactly at wTotalLength. After this, descriptor walks (ours and the
// USB stack's parse helpers) cannot leave the buffer or stall on bLength 0.
#pragma once

#include "driver/runtime/kernel_prelude.h"

// Returns STATUS_SUCCESS or STATUS_NOT_SUPPORTED; *badOffset receives the
// offset of the first offending descriptor.
NTSTATUS ValidateConfigurationChain(const UCHAR* configuration, ULONG length, PULONG badOffset);
