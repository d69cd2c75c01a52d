// Names of the NTSTATUS values the driver returns, for tool output.
#pragma once

#include <cstdint>
#include <string>

namespace tools {

// "STATUS_NOT_SUPPORTED" etc.; unknown values give "NTSTATUS_0xXXXXXXXX".
std::string StatusName(uint32_t status);
// "0xC00000BB".
std::string StatusCode(uint32_t status);

}  // namespace tools
