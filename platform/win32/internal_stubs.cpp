// Placeholder bodies until the real implementation lands (replace this file).
#include "platform/win32/win32_internal.h"

namespace platform::win32::detail {

}  // namespace platform::win32::detail
