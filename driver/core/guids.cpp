// Defines the GUIDs the platform headers declare (USB bus interface, KS and
// port-library identifiers) once for the driver.
#include <initguid.h>

#include "driver/core/kernel_prelude.h"
