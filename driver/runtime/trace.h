// Driver traces. They carry no behaviour; on the host they are printed when
// USBAUDIO_TRACE is set in the environment.
#pragma once

#include "driver/runtime/kernel_prelude.h"

#define UA_TRACE(fmt, ...) DbgPrint("vm_usbaudio: " fmt "\n", ##__VA_ARGS__)
#define UA_ERROR(fmt, ...) DbgPrint("vm_usbaudio: error: " fmt "\n", ##__VA_ARGS__)
