// Defines the GUIDs the platform headers declare (USB bus interface, KS and
// port-library identifiers) once for the driver.
#include <initguid.h>

#include "driver/runtime/kernel_prelude.h"
