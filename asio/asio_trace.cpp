// Placeholder: replaced by the trace provider.
#include "asio/asio_trace.h"

void AsioTraceRegister() {}
void AsioTraceUnregister() {}
void AsioTrace(AsioTraceLevel, const char*, ...) {}
const char* AsioErrorName(LONG) { return "Unknown"; }
