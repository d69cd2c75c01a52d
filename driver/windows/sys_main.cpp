// The driver image: everything lives in the driver library; this unit only
// makes the linker build the .sys around DriverEntry.
#include "driver/core/driver_entry.h"
