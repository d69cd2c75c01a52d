// Records the IOCTL_KS_PROPERTY requests a client sends on a device path
// (and on pins below it), as the kernel got them, through the stand-ins'
// reply filter; can also rewrite the replies.
#pragma once

#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

#include "kslib/user_prelude.h"
#include "platform/win32/device_io_host.h"

namespace kslibtest {

struct RecordedRequest {
  GUID set{};
  ULONG id = 0;
  ULONG flags = 0;
  ULONG requestLength = 0;
  ULONG outputLength = 0;
  bool isPin = false;
  std::vector<BYTE> request;  // the whole request block
  std::vector<BYTE> output;   // the output buffer as the kernel left it (SET: the value sent)
  NTSTATUS status = 0;

  ULONG PinId() const {
    ULONG v = 0xFFFFFFFF;
    if (request.size() >= 32) std::memcpy(&v, request.data() + 24, 4);
    return v;
  }
  ULONG Reserved() const {
    ULONG v = 0xFFFFFFFF;
    if (request.size() >= 32) std::memcpy(&v, request.data() + 28, 4);
    return v;
  }
};

class RequestRecorder {
 public:
  // Optional rewrite of each reply after it is recorded.
  std::function<void(platform::win32::KsPropertyReply&, const RecordedRequest&)> rewrite;

  platform::win32::KsReplyFilter Filter() {
    return [this](platform::win32::KsPropertyReply& reply) {
      RecordedRequest r;
      r.requestLength = reply.requestLength;
      r.outputLength = reply.outputLength;
      r.isPin = reply.isPin;
      r.status = reply.status;
      const BYTE* in = static_cast<const BYTE*>(reply.request);
      if (in != nullptr) r.request.assign(in, in + reply.requestLength);
      if (reply.requestLength >= sizeof(KSPROPERTY)) {
        KSPROPERTY p;
        std::memcpy(&p, in, sizeof p);
        r.set = p.Set;
        r.id = p.Id;
        r.flags = p.Flags;
      }
      const BYTE* out = static_cast<const BYTE*>(reply.output);
      if (out != nullptr) r.output.assign(out, out + reply.outputLength);
      if (rewrite) rewrite(reply, r);
      std::lock_guard<std::mutex> lock(lock_);
      requests_.push_back(std::move(r));
    };
  }

  std::vector<RecordedRequest> Requests() const {
    std::lock_guard<std::mutex> lock(lock_);
    return requests_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(lock_);
    requests_.clear();
  }

 private:
  mutable std::mutex lock_;
  std::vector<RecordedRequest> requests_;
};

inline bool SameSet(const RecordedRequest& r, const GUID& set) { return std::memcmp(&r.set, &set, sizeof set) == 0; }

// A KSP_PIN GET of the Pin set: id and pin.
inline bool IsPinQuery(const RecordedRequest& r, const GUID& pinSet, ULONG id, ULONG pin) {
  return SameSet(r, pinSet) && r.id == id && r.requestLength >= 32 && r.PinId() == pin;
}

}  // namespace kslibtest
