#include "tools/sim/stream_report.h"
#include "tools/sim/text_format.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "tools/inspect/json_writer.h"
#include "tools/inspect/status_names.h"

namespace tools {

namespace {

std::string FormatText(const sim::WavFormat& f) {
  return Format("%u ch / %u bit / %u Hz", f.channels, f.validBits, f.sampleRate);
}

std::string Fixed16(uint32_t value) { return Format("%.5f", value / 65536.0); }

std::string Status(uint32_t status) { return StatusName(status) + " (" + StatusCode(status) + ")"; }

// A device frame as its channels' subslots, e.g. "0x00123400 0xffedcc00".
std::string FrameText(const std::vector<uint8_t>& frame, uint32_t subslotBytes) {
  std::string out;
  if (subslotBytes == 0) return out;
  for (size_t at = 0; at + subslotBytes <= frame.size(); at += subslotBytes) {
    if (!out.empty()) out += " ";
    out += "0x";
    for (size_t b = subslotBytes; b-- > 0;) out += Format("%02x", frame[at + b]);
  }
  return out;
}

const char* CauseText(const std::string& cause) {
  if (cause == "client_late") return "the client was late: the driver had taken all the audio it had written";
  if (cause == "device_xrun") return "the device's FIFO under- or overran";
  if (cause == "bus_late") return "the device's FIFO under- or overran while the bus itself ran late (machine busy)";
  if (cause == "restart") return "the driver restarted the stream";
  if (cause == "driver_changed") return "the driver changed the audio";
  return cause.c_str();
}

void FaultLines(const StreamReport& r, std::string* out) {
  for (const sim::FaultInjection& f : r.injections) {
    *out += Format("injected %s at %.3f s", sim::FaultName(f.kind), f.at);
    if (f.duration > 0) *out += Format(" for %.3f s", f.duration);
    *out += f.applied ? (f.cleared ? ": applied, taken back" : ": applied") : ": not reached";
    if (!f.note.empty()) *out += " (" + f.note + ")";
    *out += "\n";
  }
}

}  // namespace

std::string StreamReportText(const StreamReport& r) {
  std::string out;
  out += Format("%s on %s: %s\n", r.capture ? "record" : "play", r.device.c_str(), r.source.c_str());
  out += "start: " + Status(r.startStatus) + "\n";
  if (r.startStatus != 0) return out + "result: the driver did not start\n";
  out += "client format: " + FormatText(r.clientFormat);
  if (r.deviceFormat.channels)
    out += Format("; device: %u ch, %u-byte subslots (%u bits), %u Hz, %s speed", r.deviceFormat.channels,
                  r.deviceFormat.subslotBytes, r.deviceFormat.bitResolution, r.deviceRate,
                  r.highSpeed ? "high" : "full");
  out += "\n";
  if (!r.failedStep.empty()) out += r.failedStep + ": " + Status(r.failedStatus) + "\n";
  FaultLines(r, &out);
  if (r.reachedRun) {
    const double rate = r.clientFormat.sampleRate;
    if (r.capture) {
      out += Format("recorded %llu frames (%.3f s) in %.3f s; the device sent %llu\n",
                    static_cast<unsigned long long>(r.framesReceived), r.framesReceived / rate, r.runMs / 1000.0,
                    static_cast<unsigned long long>(r.deviceFrames));
      if (r.captureStart >= 0)
        out += Format("recording starts at device frame %lld\n", static_cast<long long>(r.captureStart));
      out += r.bitExact ? "matches the device's capture signal: yes\n"
                        : Format("matches the device's capture signal: no, first differing frame %lld\n",
                                 static_cast<long long>(r.firstMismatch));
    } else {
      out += Format("played %llu frames (%.3f s) in %.3f s, then %llu frames of silence\n",
                    static_cast<unsigned long long>(r.framesPlayed), r.framesPlayed / rate, r.runMs / 1000.0,
                    static_cast<unsigned long long>(r.paddingFrames));
      out += Format("device received %llu of them (%llu frames in all)\n",
                    static_cast<unsigned long long>(r.framesReceived),
                    static_cast<unsigned long long>(r.deviceFrames));
      if (r.bitExact) {
        out += "bit exact: yes\n";
      } else {
        out += Format("bit exact: no, first differing frame %lld", static_cast<long long>(r.firstMismatch));
        if (!r.mismatchDevice.empty())
          out += " (device " + FrameText(r.mismatchDevice, r.deviceFormat.subslotBytes) + ", expected " +
                 (r.mismatchExpected.empty() ? std::string("unknown")
                                             : FrameText(r.mismatchExpected, r.deviceFormat.subslotBytes)) + ")";
        out += "\n";
        for (const std::string& cause : r.mismatchCauses) out += std::string("  because ") + CauseText(cause) + "\n";
      }
      if (r.clientLateFrames)
        out += Format("client late: the driver had nothing from it for %llu frames\n",
                      static_cast<unsigned long long>(r.clientLateFrames));
      out += Format("device underruns after start-up: %llu, overruns: %llu (in all: %llu, %llu)\n",
                    static_cast<unsigned long long>(r.underrunsAfterStartup),
                    static_cast<unsigned long long>(r.overrunsAfterStartup),
                    static_cast<unsigned long long>(r.underruns), static_cast<unsigned long long>(r.overruns));
      if (r.busLateXruns)
        out += Format("device under-/overruns while the bus ran late: %llu after start-up (in all: %llu)\n",
                      static_cast<unsigned long long>(r.busLateXrunsAfterStartup),
                      static_cast<unsigned long long>(r.busLateXruns));
      out += Format("render pipe restarts: %llu\n", static_cast<unsigned long long>(r.restarts));
      if (r.feedbackSeen) {
        out += "feedback (frames per " + std::string(r.highSpeed ? "microframe" : "frame") + "): min " +
               Fixed16(r.feedbackMin) + ", max " + Fixed16(r.feedbackMax) + ", nominal " + Fixed16(r.feedbackNominal) +
               "\n";
      } else {
        out += "feedback: none sent\n";
      }
    }
    out += Format("late completions: %llu, late packets: %llu, bus late ticks: %llu\n",
                  static_cast<unsigned long long>(r.lateCompletions), static_cast<unsigned long long>(r.latePackets),
                  static_cast<unsigned long long>(r.busLateTicks));
    if (r.oversizedPackets)
      out += Format("packets beyond the endpoint's wMaxPacketSize (refused or babbled on the bus): %llu\n",
                    static_cast<unsigned long long>(r.oversizedPackets));
  }
  out += Format("timing: clock tick %g ms, injected latency up to %g us, %s completions\n", r.tickMs, r.jitterUs,
                r.completion.c_str());
  out += Format("longest stretch at DISPATCH_LEVEL: %.1f us%s%s%s, 99.9th percentile %.1f us\n",
                r.maxDispatchNs / 1000.0, r.maxDispatchSite.empty() ? "" : " in ", r.maxDispatchSite.c_str(),
                r.maxDispatchKind.empty() ? "" : (" (" + r.maxDispatchKind + ")").c_str(), r.p999DispatchNs / 1000.0);
  if (r.stalled) out += "streaming stopped: the port was no longer serviced\n";
  if (r.outWritten) out += "wrote " + r.outPath + "\n";
  out += "result: " + (r.error.empty() ? std::string("ok") : r.error) + "\n";
  return out;
}

std::string StreamReportJson(const StreamReport& r) {
  JsonWriter w;
  w.BeginObject();
  w.Key("command").String(r.capture ? "record" : "play");
  w.Key("device").String(r.device);
  w.Key("source").String(r.source);
  w.Key("status").String(StatusName(r.startStatus));
  w.Key("client_format").BeginObject();
  w.Key("channels").Number(r.clientFormat.channels);
  w.Key("bits").Number(r.clientFormat.validBits);
  w.Key("container_bits").Number(r.clientFormat.bitsPerSample);
  w.Key("rate").Number(r.clientFormat.sampleRate);
  w.EndObject();
  w.Key("device_format");
  if (r.deviceFormat.channels) {
    w.BeginObject();
    w.Key("channels").Number(r.deviceFormat.channels);
    w.Key("subslot_bytes").Number(r.deviceFormat.subslotBytes);
    w.Key("bits").Number(r.deviceFormat.bitResolution);
    w.Key("rate").Number(r.deviceRate);
    w.Key("high_speed").Bool(r.highSpeed);
    w.EndObject();
  } else {
    w.Null();
  }
  w.Key("ppm").Number(static_cast<int64_t>(std::llround(r.ppm)));
  w.Key("reached_run").Bool(r.reachedRun);
  w.Key("run_ms").Number(static_cast<int64_t>(r.runMs));
  if (r.capture) {
    w.Key("frames_recorded").Number(static_cast<int64_t>(r.framesReceived));
    w.Key("device_frames_sent").Number(static_cast<int64_t>(r.deviceFrames));
    w.Key("capture_start");
    if (r.captureStart >= 0) w.Number(r.captureStart); else w.Null();
  } else {
    w.Key("frames_played").Number(static_cast<int64_t>(r.framesPlayed));
    w.Key("frames_received").Number(static_cast<int64_t>(r.framesReceived));
    w.Key("padding_frames").Number(static_cast<int64_t>(r.paddingFrames));
    w.Key("device_frames").Number(static_cast<int64_t>(r.deviceFrames));
  }
  w.Key("bit_exact").Bool(r.bitExact);
  w.Key("first_mismatch");
  if (r.firstMismatch >= 0) w.Number(r.firstMismatch); else w.Null();
  if (!r.capture) {
    auto frame = [&](const char* key, const std::vector<uint8_t>& value) {
      w.Key(key);
      if (value.empty()) w.Null(); else w.String(FrameText(value, r.deviceFormat.subslotBytes));
    };
    frame("first_mismatch_device", r.mismatchDevice);
    frame("first_mismatch_expected", r.mismatchExpected);
    w.Key("mismatch_causes").BeginArray();
    for (const std::string& cause : r.mismatchCauses) w.String(cause);
    w.EndArray();
    w.Key("client_late_frames").Number(static_cast<int64_t>(r.clientLateFrames));
    w.Key("device_underruns").Number(static_cast<int64_t>(r.underrunsAfterStartup));
    w.Key("device_overruns").Number(static_cast<int64_t>(r.overrunsAfterStartup));
    w.Key("device_underruns_total").Number(static_cast<int64_t>(r.underruns));
    w.Key("device_overruns_total").Number(static_cast<int64_t>(r.overruns));
    w.Key("device_xruns_bus_late").Number(static_cast<int64_t>(r.busLateXrunsAfterStartup));
    w.Key("device_xruns_bus_late_total").Number(static_cast<int64_t>(r.busLateXruns));
    w.Key("restarts").Number(static_cast<int64_t>(r.restarts));
    // 16.16 frames per (micro)frame; null when the device sent no feedback.
    auto feedback = [&](const char* key, uint32_t value) {
      w.Key(key);
      if (r.feedbackSeen) w.Number(value); else w.Null();
    };
    feedback("feedback_min", r.feedbackMin);
    feedback("feedback_max", r.feedbackMax);
    feedback("feedback_nominal", r.feedbackNominal);
  }
  w.Key("late_completions").Number(static_cast<int64_t>(r.lateCompletions));
  w.Key("late_packets").Number(static_cast<int64_t>(r.latePackets));
  w.Key("oversized_packets").Number(static_cast<int64_t>(r.oversizedPackets));
  w.Key("bus_late_ticks").Number(static_cast<int64_t>(r.busLateTicks));
  w.Key("tick_us").Number(static_cast<int64_t>(std::llround(r.tickMs * 1000)));
  w.Key("jitter_us").Number(static_cast<int64_t>(std::llround(r.jitterUs)));
  w.Key("completion").String(r.completion);
  // Whole microseconds, rounded up: 0 only when nothing was measured.
  w.Key("max_dispatch_us").Number(static_cast<int64_t>((r.maxDispatchNs + 999) / 1000));
  w.Key("p999_dispatch_us").Number(static_cast<int64_t>((r.p999DispatchNs + 999) / 1000));
  w.Key("max_dispatch_site");
  if (r.maxDispatchSite.empty()) w.Null(); else w.String(r.maxDispatchSite);
  w.Key("stalled").Bool(r.stalled);
  w.Key("unplugged").Bool(r.unplugged);
  w.Key("injections").BeginArray();
  for (const sim::FaultInjection& f : r.injections) {
    w.BeginObject();
    w.Key("fault").String(sim::FaultName(f.kind));
    w.Key("at_ms").Number(static_cast<int64_t>(std::llround(f.at * 1000)));
    w.Key("duration_ms").Number(static_cast<int64_t>(std::llround(f.duration * 1000)));
    w.Key("applied").Bool(f.applied);
    w.Key("taken_back").Bool(f.cleared);
    w.Key("note");
    if (f.note.empty()) w.Null(); else w.String(f.note);
    w.EndObject();
  }
  w.EndArray();
  w.Key("failed_step");
  if (r.failedStep.empty()) w.Null(); else w.String(r.failedStep);
  w.Key("failed_status");
  if (r.failedStep.empty()) w.Null(); else w.String(StatusName(r.failedStatus));
  w.Key("out");
  if (r.outWritten) w.String(r.outPath); else w.Null();
  w.Key("error");
  if (r.error.empty()) w.Null(); else w.String(r.error);
  w.EndObject();
  return w.Text() + "\n";
}

}  // namespace tools
