// <debugapi.h>: OutputDebugStringW/A to the captures of debug_output.h,
// an optional echo, and stderr when USBAUDIO_TRACE is set. One lock orders
// the messages of all threads, so every capture sees them in one order.
#include <windows.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "platform/win32/debug_output.h"
#include "platform/win32/text_internal.h"

struct platform::win32::DebugOutputCapture::State {
  bool everyProcess = true;
  const ClientProcess* process = nullptr;
  std::vector<std::string> messages;
  std::u16string wide;
};

namespace {

using platform::win32::DebugOutputCapture;

struct Sink {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<DebugOutputCapture::State*> captures;
  std::function<void(const std::string&)> echo;
};

Sink& TheSink() {
  static Sink sink;
  return sink;
}

void Deliver(const std::u16string& wide) {
  const std::string text = platform::win32::detail::ToUtf8(reinterpret_cast<const WCHAR*>(wide.data()), wide.size());
  const platform::ClientProcess* process = platform::CurrentClientProcess();
  std::function<void(const std::string&)> echo;
  {
    Sink& sink = TheSink();
    std::lock_guard<std::mutex> lock(sink.mutex);
    for (auto* capture : sink.captures) {
      if (!capture->everyProcess && capture->process != process) continue;
      capture->messages.push_back(text);
      capture->wide += wide;
    }
    echo = sink.echo;
    sink.arrived.notify_all();
  }
  if (echo) echo(text);
  if (platform::detail::TraceEnabled()) fputs(text.c_str(), stderr);
}

}  // namespace

namespace platform::win32 {

DebugOutputCapture::DebugOutputCapture() : state_(std::make_shared<State>()) {
  Sink& sink = TheSink();
  std::lock_guard<std::mutex> lock(sink.mutex);
  sink.captures.push_back(state_.get());
}

DebugOutputCapture::DebugOutputCapture(const ClientProcess* process) : state_(std::make_shared<State>()) {
  state_->everyProcess = false;
  state_->process = process;
  Sink& sink = TheSink();
  std::lock_guard<std::mutex> lock(sink.mutex);
  sink.captures.push_back(state_.get());
}

DebugOutputCapture::~DebugOutputCapture() {
  Sink& sink = TheSink();
  std::lock_guard<std::mutex> lock(sink.mutex);
  for (auto it = sink.captures.begin(); it != sink.captures.end(); ++it) {
    if (*it == state_.get()) {
      sink.captures.erase(it);
      break;
    }
  }
}

std::vector<std::string> DebugOutputCapture::Messages() const {
  std::lock_guard<std::mutex> lock(TheSink().mutex);
  return state_->messages;
}

std::string DebugOutputCapture::Text() const {
  std::lock_guard<std::mutex> lock(TheSink().mutex);
  std::string all;
  for (const auto& m : state_->messages) all += m;
  return all;
}

std::u16string DebugOutputCapture::WideText() const {
  std::lock_guard<std::mutex> lock(TheSink().mutex);
  return state_->wide;
}

size_t DebugOutputCapture::Count() const {
  std::lock_guard<std::mutex> lock(TheSink().mutex);
  return state_->messages.size();
}

void DebugOutputCapture::Clear() {
  std::lock_guard<std::mutex> lock(TheSink().mutex);
  state_->messages.clear();
  state_->wide.clear();
}

bool DebugOutputCapture::WaitFor(const std::string& needle, std::chrono::milliseconds timeout) const {
  Sink& sink = TheSink();
  std::unique_lock<std::mutex> lock(sink.mutex);
  return sink.arrived.wait_for(lock, timeout, [&] {
    std::string all;
    for (const auto& m : state_->messages) all += m;
    return all.find(needle) != std::string::npos;
  });
}

void SetDebugOutputEcho(std::function<void(const std::string& text)> echo) {
  Sink& sink = TheSink();
  std::lock_guard<std::mutex> lock(sink.mutex);
  sink.echo = std::move(echo);
}

}  // namespace platform::win32

USBAUDIO_BEGIN_C

void WINAPI OutputDebugStringW(LPCWSTR lpOutputString) {
  if (!lpOutputString) return;
  std::u16string wide;
  for (size_t i = 0; lpOutputString[i]; ++i) wide += static_cast<char16_t>(lpOutputString[i]);
  Deliver(wide);
}

// Narrow text is taken as Windows-1252's Latin-1 subset.
void WINAPI OutputDebugStringA(LPCSTR lpOutputString) {
  if (!lpOutputString) return;
  std::u16string wide;
  for (size_t i = 0; lpOutputString[i]; ++i) wide += static_cast<char16_t>(static_cast<unsigned char>(lpOutputString[i]));
  Deliver(wide);
}

USBAUDIO_END_C
