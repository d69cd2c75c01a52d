#include "tools/inspect/status_names.h"

#include <cstdio>

namespace tools {

namespace {

struct NamedStatus {
  uint32_t value;
  const char* name;
};

const NamedStatus kStatuses[] = {
    {0x00000000, "STATUS_SUCCESS"},
    {0x00000103, "STATUS_PENDING"},
    {0x00000102, "STATUS_TIMEOUT"},
    {0x80000005, "STATUS_BUFFER_OVERFLOW"},
    {0xC0000001, "STATUS_UNSUCCESSFUL"},
    {0xC0000002, "STATUS_NOT_IMPLEMENTED"},
    {0xC000000D, "STATUS_INVALID_PARAMETER"},
    {0xC0000010, "STATUS_INVALID_DEVICE_REQUEST"},
    {0xC0000016, "STATUS_MORE_PROCESSING_REQUIRED"},
    {0xC0000017, "STATUS_NO_MEMORY"},
    {0xC0000023, "STATUS_BUFFER_TOO_SMALL"},
    {0xC000009A, "STATUS_INSUFFICIENT_RESOURCES"},
    {0xC00000BB, "STATUS_NOT_SUPPORTED"},
    {0xC0000120, "STATUS_CANCELLED"},
    {0xC0000184, "STATUS_INVALID_DEVICE_STATE"},
    {0xC000009D, "STATUS_DEVICE_NOT_CONNECTED"},
    {0xC0000272, "STATUS_NO_MATCH"},
    {0xC0000225, "STATUS_NOT_FOUND"},
};

}  // namespace

std::string StatusCode(uint32_t status) {
  char buffer[16];
  std::snprintf(buffer, sizeof(buffer), "0x%08X", status);
  return buffer;
}

std::string StatusName(uint32_t status) {
  for (const NamedStatus& entry : kStatuses) {
    if (entry.value == status) return entry.name;
  }
  return "NTSTATUS_" + StatusCode(status);
}

}  // namespace tools
