#include "tools/sim/lowlatency_report.h"
#include "tools/sim/lowlatency_run.h"
#include "tools/sim/text_format.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "tools/inspect/json_writer.h"
#include "tools/inspect/status_names.h"

namespace tools {

const char kLowLatencyUsage[] =
    "usage: usbaudio-sim lowlatency [--profile NAME | DESCRIPTORS [--full-speed]] [--buffer N] [--rate R]\n"
    "                               [--inputs N] [--outputs N] [--dsd] [--seconds S] [--ppm X]\n"
    "                               [--inject WHAT@SECONDS[+DURATION]]... [--json] [--quiet] [--trace]\n"
    "  runs a low-latency (ASIO-style) client in its own process: shared double buffers through the\n"
    "  private property set, a buffer-switch event, output ready after each output half; checks that\n"
    "  the device played exactly the output halves and that the input halves hold the capture signal\n"
    "  --buffer N: frames per half (default 256; DSD: bytes per channel per half, a multiple of 4,\n"
    "  default 2048); --rate R: the rate (default 48000; DSD: the DSD rate, default 2822400, pins at\n"
    "  R / 32); --inputs / --outputs N: channels 0..N-1 of each direction (default: no inputs, every\n"
    "  output); --seconds S (default 2)\n";

namespace {

std::string Status(uint32_t status) { return StatusName(status) + " (" + StatusCode(status) + ")"; }

bool DeviceGone(uint32_t status) {
  return status == 0xC000000Eu || status == 0xC0000056u || status == 0xC000009Du;
}

bool EndsStreaming(const sim::FaultInjection& f) {
  return f.applied && (f.kind == sim::FaultKind::Unplug || (f.kind == sim::FaultKind::ClockInvalid && f.duration == 0));
}

}  // namespace

bool ParseLowLatencyOptions(const std::vector<std::string>& args, LowLatencyRunOptions* o, std::string* error) {
  bool bufferGiven = false;
  const SharedRunOptions shared{&o->profile, &o->descriptorPath, &o->fullSpeed, &o->buffer, &bufferGiven,
                                &o->rate,    &o->rateGiven,      &o->inputs,    &o->outputs, &o->dsd,
                                &o->seconds, &o->ppm,            &o->json,      &o->quiet};
  for (size_t i = 1; i < args.size(); ++i) {
    const SharedOption taken = ParseSharedOption(args, &i, shared, error);
    if (taken == SharedOption::Bad) return false;
    if (taken == SharedOption::Taken) continue;
    const std::string& arg = args[i];
    if (arg == "--inject") {
      if (i + 1 >= args.size()) {
        *error = "--inject needs a value";
        return false;
      }
      sim::FaultInjection f;
      if (!sim::ParseFaultInjection(args[++i], &f, error)) return false;
      if (f.kind == sim::FaultKind::ClientLate) {
        *error = "--inject client-late is for play";
        return false;
      }
      o->injections.push_back(f);
    } else {
      *error = "unknown option " + arg;
      return false;
    }
  }
  if (o->dsd) {
    if (!bufferGiven) o->buffer = 2048;
    if (!o->rateGiven) o->rate = 2822400;
    if (o->buffer % 4 != 0) {
      *error = "--buffer with --dsd counts bytes per channel and must be a multiple of 4";
      return false;
    }
    if (o->inputs > 0) {
      *error = "--dsd streams outputs only";
      return false;
    }
    if (o->rate % 32 != 0) {
      *error = "--rate with --dsd is the DSD rate and must be a multiple of 32";
      return false;
    }
  }
  if (o->inputs == 0 && o->outputs == 0) {
    *error = "nothing to stream: --inputs and --outputs are both 0";
    return false;
  }
  return true;
}

void JudgeLowLatency(LowLatencyReport* r) {
  bool streamingMayEnd = false;
  for (const sim::FaultInjection& f : r->injections) streamingMayEnd |= EndsStreaming(f);
  r->exitCode = 1;
  if (!NT_SUCCESS(static_cast<NTSTATUS>(r->startStatus))) {
    r->error = "the driver did not start";
  } else if (!r->failedStep.empty()) {
    r->error = "the client failed: " + r->failedStep + " returned " + StatusName(r->failedStatus);
  } else if (!r->clientThreadEnded) {
    r->error = "the client's thread did not end";
  } else if (streamingMayEnd) {
    if (r->unplugged && !DeviceGone(r->streamError)) {
      r->error = "the render header carries no device-gone status after the unplug";
    } else {
      r->exitCode = 0;
    }
  } else if (r->streamError != 0) {
    r->error = "the stream failed: " + Status(r->streamError);
  } else if (r->comparisonLostBytes) {
    r->error = "the comparison fell behind the device and lost frames";
  } else if (r->outputs && !r->bitExact) {
    r->error = "the device's audio differs from the output halves";
  } else if (r->inputChecked && !r->inputBitExact) {
    r->error = "the input halves differ from the device's capture signal";
  } else if (r->transportModeViolations) {
    r->error = "frames arrived in the wrong transport mode";
  } else if (r->missedSwitches || r->deviceUnderruns || r->deviceOverruns) {
    r->error = "buffer switches were missed or the device's FIFO ran over or dry";
  } else {
    r->exitCode = 0;
  }
}

std::string LowLatencyReportText(const LowLatencyReport& r) {
  std::string out;
  out += Format("device: %s\n", r.device.c_str());
  if (!NT_SUCCESS(static_cast<NTSTATUS>(r.startStatus))) out += "start: " + Status(r.startStatus) + "\n";
  out += Format("buffer: %u %s per half (%u device frames), %s %u Hz (pins at %u Hz), %u input(s) of %u, %u output(s) of %u\n",
                r.buffer, r.dsd ? "bytes" : "frames", r.halfFrames, r.dsd ? "DSD" : "PCM", r.rate, r.pinRate,
                r.inputs, r.captureChannels, r.outputs, r.renderChannels);
  for (const sim::FaultInjection& f : r.injections) {
    out += Format("injected %s at %.3f s%s%s\n", sim::FaultName(f.kind), f.at, f.applied ? ": applied" : ": not reached",
                  f.note.empty() ? "" : (" (" + f.note + ")").c_str());
  }
  if (!r.failedStep.empty()) out += "failed: " + r.failedStep + ": " + Status(r.failedStatus) + "\n";
  out += Format("run: %.2f s\n", r.runSeconds);
  out += Format("buffer_switches: %llu (expected %llu)\n", static_cast<unsigned long long>(r.bufferSwitches),
                static_cast<unsigned long long>(r.expectedSwitches));
  if (r.steadySwitchRate > 0) {
    out += Format("steady_switch_rate: %.2f per second after the first second (expected %.2f, %+.2f %%)\n",
                  r.steadySwitchRate, r.expectedSwitchRate,
                  100.0 * (r.steadySwitchRate - r.expectedSwitchRate) / r.expectedSwitchRate);
  }
  out += Format("missed_switches: %llu\nsame_half_twice: %llu\n", static_cast<unsigned long long>(r.missedSwitches),
                static_cast<unsigned long long>(r.sameHalfTwice));
  if (r.switchesWithoutToggle) {
    out += Format("switches_without_toggle: %llu (an event, and the header's half had not changed)\n",
                  static_cast<unsigned long long>(r.switchesWithoutToggle));
  }
  if (r.outputs) {
    out += Format("bit_exact: %s (%llu frames checked after %llu start-up frames)\n", r.bitExact ? "true" : "false",
                  static_cast<unsigned long long>(r.framesChecked), static_cast<unsigned long long>(r.startupFrames));
    if (r.mismatch) {
      out += Format("first_mismatch: output frame %llu (%s): device %s, expected %s\n",
                    static_cast<unsigned long long>(r.firstMismatch), r.mismatchKind.c_str(), r.mismatchDevice.c_str(),
                    r.mismatchExpected.c_str());
    }
    for (const std::string& c : r.mismatchCauses) out += "mismatch_cause: " + c + "\n";
  }
  if (r.inputChecked) {
    out += Format("input_bit_exact: %s%s%s\n", r.inputBitExact ? "true" : "false", r.inputMismatch.empty() ? "" : ": ",
                  r.inputMismatch.c_str());
  }
  out += Format("device_underruns: %llu\ndevice_overruns: %llu\n", static_cast<unsigned long long>(r.deviceUnderruns),
                static_cast<unsigned long long>(r.deviceOverruns));
  if (r.busLateXruns) out += Format("bus_late_xruns: %llu (the machine was busy)\n", static_cast<unsigned long long>(r.busLateXruns));
  out += Format("transport_mode_violations: %llu\n", static_cast<unsigned long long>(r.transportModeViolations));
  out += "device_modes:";
  for (const auto& [interface, mode] : r.deviceModes) out += Format(" interface %u = %d", interface, mode);
  out += "\n";
  out += Format("stream_error: 0x%08X%s\n", r.streamError, r.streamError ? (" " + StatusName(r.streamError)).c_str() : "");
  if (r.latencyMeasured) {
    const uint32_t rate = r.pinRate ? r.pinRate : 1;
    out += Format("measured_output_latency: %lld frames (%.3f ms; min %lld, max %lld)\n",
                  static_cast<long long>(r.latencyMedian), 1000.0 * r.latencyMedian / rate,
                  static_cast<long long>(r.latencyMin), static_cast<long long>(r.latencyMax));
  } else {
    out += "measured_output_latency: not measured\n";
  }
  if (r.outputReadyFailures) out += Format("output_ready_failures: %llu\n", static_cast<unsigned long long>(r.outputReadyFailures));
  if (r.waitTimeouts) out += Format("wait_timeouts: %llu\n", static_cast<unsigned long long>(r.waitTimeouts));
  out += r.exitCode == 0 ? "result: ok\n" : "result: FAILED: " + r.error + "\n";
  return out;
}

std::string LowLatencyReportJson(const LowLatencyReport& r) {
  JsonWriter w;
  w.BeginObject();
  w.Key("device").String(r.device);
  w.Key("start_status").Number(r.startStatus);
  w.Key("buffer").Number(r.buffer);
  w.Key("half_frames").Number(r.halfFrames);
  w.Key("rate").Number(r.rate);
  w.Key("pin_rate").Number(r.pinRate);
  w.Key("dsd").Bool(r.dsd);
  w.Key("inputs").Number(r.inputs);
  w.Key("outputs").Number(r.outputs);
  w.Key("capture_channels").Number(r.captureChannels);
  w.Key("render_channels").Number(r.renderChannels);
  w.Key("run_ms").Number(static_cast<int64_t>(r.runSeconds * 1000));
  w.Key("failed_step");
  r.failedStep.empty() ? w.Null() : w.String(r.failedStep);
  w.Key("failed_status").Number(r.failedStatus);
  w.Key("injections").BeginArray();
  for (const sim::FaultInjection& f : r.injections) {
    w.BeginObject();
    w.Key("fault").String(sim::FaultName(f.kind));
    w.Key("at_ms").Number(static_cast<int64_t>(f.at * 1000));
    w.Key("applied").Bool(f.applied);
    w.EndObject();
  }
  w.EndArray();
  w.Key("buffer_switches").Number(static_cast<int64_t>(r.bufferSwitches));
  w.Key("expected_switches").Number(static_cast<int64_t>(r.expectedSwitches));
  // Hundredths of a switch per second (the writer takes integers).
  w.Key("steady_switch_rate_centi").Number(static_cast<int64_t>(std::llround(r.steadySwitchRate * 100)));
  w.Key("expected_switch_rate_centi").Number(static_cast<int64_t>(std::llround(r.expectedSwitchRate * 100)));
  w.Key("missed_switches").Number(static_cast<int64_t>(r.missedSwitches));
  w.Key("same_half_twice").Number(static_cast<int64_t>(r.sameHalfTwice));
  w.Key("switches_without_toggle").Number(static_cast<int64_t>(r.switchesWithoutToggle));
  w.Key("output_halves").Number(static_cast<int64_t>(r.outputHalves));
  w.Key("output_ready_failures").Number(static_cast<int64_t>(r.outputReadyFailures));
  w.Key("wait_timeouts").Number(static_cast<int64_t>(r.waitTimeouts));
  w.Key("bit_exact").Bool(r.bitExact);
  w.Key("frames_checked").Number(static_cast<int64_t>(r.framesChecked));
  w.Key("startup_frames").Number(static_cast<int64_t>(r.startupFrames));
  w.Key("first_mismatch");
  r.mismatch ? w.Number(static_cast<int64_t>(r.firstMismatch)) : w.Null();
  w.Key("first_mismatch_kind");
  r.mismatch ? w.String(r.mismatchKind) : w.Null();
  w.Key("first_mismatch_device");
  r.mismatch ? w.String(r.mismatchDevice) : w.Null();
  w.Key("first_mismatch_expected");
  r.mismatch ? w.String(r.mismatchExpected) : w.Null();
  w.Key("mismatch_causes").BeginArray();
  for (const std::string& c : r.mismatchCauses) w.String(c);
  w.EndArray();
  w.Key("comparison_lost_bytes").Number(static_cast<int64_t>(r.comparisonLostBytes));
  w.Key("input_bit_exact");
  r.inputChecked ? w.Bool(r.inputBitExact) : w.Null();
  w.Key("input_mismatch");
  r.inputMismatch.empty() ? w.Null() : w.String(r.inputMismatch);
  w.Key("device_underruns").Number(static_cast<int64_t>(r.deviceUnderruns));
  w.Key("device_overruns").Number(static_cast<int64_t>(r.deviceOverruns));
  w.Key("bus_late_xruns").Number(static_cast<int64_t>(r.busLateXruns));
  w.Key("transport_mode_violations").Number(static_cast<int64_t>(r.transportModeViolations));
  w.Key("device_modes").BeginObject();
  for (const auto& [interface, mode] : r.deviceModes) w.Key(std::to_string(interface)).Number(mode);
  w.EndObject();
  w.Key("stream_error").Number(r.streamError);
  w.Key("client_thread_ended").Bool(r.clientThreadEnded);
  w.Key("measured_output_latency");
  r.latencyMeasured ? w.Number(r.latencyMedian) : w.Null();
  w.Key("measured_output_latency_min");
  r.latencyMeasured ? w.Number(r.latencyMin) : w.Null();
  w.Key("measured_output_latency_max");
  r.latencyMeasured ? w.Number(r.latencyMax) : w.Null();
  w.Key("measured_output_latency_us");
  r.latencyMeasured && r.pinRate ? w.Number(r.latencyMedian * 1000000 / r.pinRate) : w.Null();
  w.Key("exit_code").Number(r.exitCode);
  w.Key("error");
  r.error.empty() ? w.Null() : w.String(r.error);
  w.EndObject();
  return w.Text() + "\n";
}

}  // namespace tools
