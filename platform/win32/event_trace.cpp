// <evntprov.h>: user-mode trace providers. A registration hands out a
// non-zero handle naming its control GUID; strings written through it go
// to the captures of event_trace_host.h and, with USBAUDIO_TRACE set, to
// stderr. Nothing is formatted when nobody listens, as on Windows where no
// session has enabled the provider.
#include <evntprov.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/win32/event_trace_host.h"
#include "platform/win32/text_internal.h"

struct platform::win32::EventTraceCapture::State {
  bool everyProcess = true;
  const ClientProcess* process = nullptr;
  std::vector<TraceEventRecord> events;
};

namespace {

using platform::win32::EventTraceCapture;
using platform::win32::TraceEventRecord;

struct Registry {
  std::mutex mutex;
  std::condition_variable arrived;
  std::map<REGHANDLE, GUID> handles;
  REGHANDLE next = 1;
  std::vector<EventTraceCapture::State*> captures;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

std::string Joined(const EventTraceCapture::State& state) {
  std::string all;
  for (const auto& e : state.events) all += e.text;
  return all;
}

}  // namespace

namespace platform::win32 {

EventTraceCapture::EventTraceCapture() : state_(std::make_shared<State>()) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.captures.push_back(state_.get());
}

EventTraceCapture::EventTraceCapture(const ClientProcess* process) : state_(std::make_shared<State>()) {
  state_->everyProcess = false;
  state_->process = process;
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.captures.push_back(state_.get());
}

EventTraceCapture::~EventTraceCapture() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  for (auto it = r.captures.begin(); it != r.captures.end(); ++it) {
    if (*it == state_.get()) {
      r.captures.erase(it);
      break;
    }
  }
}

std::vector<TraceEventRecord> EventTraceCapture::Events() const {
  std::lock_guard<std::mutex> lock(TheRegistry().mutex);
  return state_->events;
}

std::string EventTraceCapture::Text() const {
  std::lock_guard<std::mutex> lock(TheRegistry().mutex);
  return Joined(*state_);
}

size_t EventTraceCapture::Count() const {
  std::lock_guard<std::mutex> lock(TheRegistry().mutex);
  return state_->events.size();
}

void EventTraceCapture::Clear() {
  std::lock_guard<std::mutex> lock(TheRegistry().mutex);
  state_->events.clear();
}

bool EventTraceCapture::WaitFor(const std::string& needle, std::chrono::milliseconds timeout) const {
  Registry& r = TheRegistry();
  std::unique_lock<std::mutex> lock(r.mutex);
  return r.arrived.wait_for(lock, timeout, [&] { return Joined(*state_).find(needle) != std::string::npos; });
}

int OpenTraceRegistrations(const GUID& provider) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  int count = 0;
  for (const auto& h : r.handles) {
    if (std::memcmp(&h.second, &provider, sizeof(GUID)) == 0) ++count;
  }
  return count;
}

}  // namespace platform::win32

USBAUDIO_BEGIN_C

// The enable callback is not called: no session is started in the host.
ULONG WINAPI EventRegister(LPCGUID ProviderId, PENABLECALLBACK, PVOID, PREGHANDLE RegHandle) {
  if (ProviderId == nullptr || RegHandle == nullptr) return ERROR_INVALID_PARAMETER;
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  const REGHANDLE handle = r.next++;
  r.handles[handle] = *ProviderId;
  *RegHandle = handle;
  return ERROR_SUCCESS;
}

ULONG WINAPI EventUnregister(REGHANDLE RegHandle) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.handles.erase(RegHandle) != 0 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

BOOLEAN WINAPI EventProviderEnabled(REGHANDLE RegHandle, UCHAR, ULONGLONG) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (r.handles.count(RegHandle) == 0) return FALSE;
  return (!r.captures.empty() || platform::detail::TraceEnabled()) ? TRUE : FALSE;
}

ULONG WINAPI EventWriteString(REGHANDLE RegHandle, UCHAR Level, ULONGLONG Keyword, PCWSTR String) {
  if (String == nullptr) return ERROR_INVALID_PARAMETER;
  Registry& r = TheRegistry();
  std::string text;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.handles.find(RegHandle);
    if (it == r.handles.end()) return ERROR_INVALID_HANDLE;
    if (r.captures.empty() && !platform::detail::TraceEnabled()) return ERROR_SUCCESS;
    text = platform::win32::detail::ToUtf8(String);
    const platform::ClientProcess* process = platform::CurrentClientProcess();
    for (auto* capture : r.captures) {
      if (!capture->everyProcess && capture->process != process) continue;
      capture->events.push_back(TraceEventRecord{it->second, Level, Keyword, text});
    }
    r.arrived.notify_all();
  }
  if (platform::detail::TraceEnabled()) fputs(text.c_str(), stderr);
  return ERROR_SUCCESS;
}

USBAUDIO_END_C
