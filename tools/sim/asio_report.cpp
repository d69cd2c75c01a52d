#include "tools/sim/asio_report.h"

#include <cmath>
#include <cstdio>

#include "tools/inspect/json_writer.h"
#include "tools/inspect/status_names.h"
#include "tools/sim/lowlatency_run.h"
#include "tools/sim/text_format.h"

namespace tools {

const char kAsioUsage[] =
    "usage: usbaudio-sim asio [--profile NAME | DESCRIPTORS [--full-speed]] [--buffer N] [--rate R]\n"
    "                         [--inputs N] [--outputs N] [--timeinfo on|off] [--dsd] [--seconds S] [--ppm X]\n"
    "                         [--load N] [--inject WHAT@SECONDS]... [--json] [--quiet] [--trace]\n"
    "  installs and registers vm_usbaudio_asio.dll (regsvr32), then runs an ASIO host in its own process:\n"
    "  it finds the driver under HKLM\\SOFTWARE\\ASIO, creates it through its class factory, streams with\n"
    "  buffer switches and checks that the device played exactly the host's output halves and that the\n"
    "  input halves hold the capture signal\n"
    "  --buffer N: the \"buffer_size\" setting written before init (default 256; DSD: bytes per channel\n"
    "  per half, a multiple of 4, default 2048); --rate R (default 48000; DSD runs at 2822400);\n"
    "  --inputs / --outputs N: channels 0..N-1 (default: every channel; DSD: outputs only);\n"
    "  --timeinfo on: the host takes bufferSwitchTimeInfo; --seconds S (default 2);\n"
    "  --load N: N busy threads at the lowest scheduling priority;\n"
    "  --inject unplug@S, panel-buffer-size[=N]@S (a user picks N, a multiple of 32, with the control\n"
    "  panel program's slider: it stores N and notifies), slow-callback@S (one buffer switch takes\n"
    "  longer than two periods), or a device fault\n";

namespace {

bool ParseInjection(const std::string& text, AsioInjection* out, std::string* error) {
  const size_t at = text.find('@');
  const std::string what = text.substr(0, at == std::string::npos ? text.size() : at);
  const bool panel = what == "panel-buffer-size" || what.rfind("panel-buffer-size=", 0) == 0;
  if (!panel && what != "slow-callback") {
    if (!sim::ParseFaultInjection(text, &out->device, error)) return false;
    if (out->device.kind == sim::FaultKind::ClientLate) {
      *error = "--inject client-late is for play";
      return false;
    }
    out->kind = AsioInjectionKind::Device;
    out->at = out->device.at;
    return true;
  }
  if (at == std::string::npos || !ParseNumber(text.substr(at + 1), &out->at) || out->at < 0) {
    *error = "--inject takes WHAT@SECONDS, got '" + text + "'";
    return false;
  }
  out->kind = panel ? AsioInjectionKind::PanelBufferSize : AsioInjectionKind::SlowCallback;
  const size_t equals = what.find('=');
  if (equals != std::string::npos) {
    double n = 0;
    if (!ParseWhole(what.substr(equals + 1), 1, 1 << 20, &n)) {
      *error = "panel-buffer-size=N needs a whole size";
      return false;
    }
    out->value = static_cast<uint32_t>(n);
  }
  return true;
}

std::string Status(uint32_t status) { return StatusName(status) + " (" + StatusCode(status) + ")"; }

}  // namespace

std::string AsioInjectionName(const AsioInjection& f) {
  switch (f.kind) {
    case AsioInjectionKind::PanelBufferSize:
      return "panel-buffer-size";
    case AsioInjectionKind::SlowCallback:
      return "slow-callback";
    case AsioInjectionKind::Device:
      break;
  }
  return sim::FaultName(f.device.kind);
}

bool ParseAsioOptions(const std::vector<std::string>& args, AsioRunOptions* o, std::string* error) {
  bool bufferGiven = false;
  bool rateGiven = false;
  const SharedRunOptions shared{&o->profile, &o->descriptorPath, &o->fullSpeed, &o->buffer, &bufferGiven,
                                &o->rate,    &rateGiven,         &o->inputs,    &o->outputs, &o->dsd,
                                &o->seconds, &o->ppm,            &o->json,      &o->quiet};
  for (size_t i = 1; i < args.size(); ++i) {
    const SharedOption taken = ParseSharedOption(args, &i, shared, error);
    if (taken == SharedOption::Bad) return false;
    if (taken == SharedOption::Taken) continue;
    const std::string& arg = args[i];
    if (arg != "--timeinfo" && arg != "--load" && arg != "--inject") {
      *error = "unknown option " + arg;
      return false;
    }
    if (i + 1 >= args.size()) {
      *error = arg + " needs a value";
      return false;
    }
    const std::string& v = args[++i];
    double n = 0;
    if (arg == "--timeinfo") {
      if (v != "on" && v != "off") {
        *error = "--timeinfo takes on or off";
        return false;
      }
      o->timeInfo = v == "on";
    } else if (arg == "--load") {
      if (!ParseWhole(v, 0, 64, &n)) {
        *error = "--load needs a thread count between 0 and 64";
        return false;
      }
      o->load = static_cast<int>(n);
    } else {
      AsioInjection f;
      if (!ParseInjection(v, &f, error)) return false;
      o->injections.push_back(f);
    }
  }
  if (o->dsd) {
    if (!bufferGiven) o->buffer = 2048;
    o->rate = 2822400;
    if (o->buffer % 4 != 0) {
      *error = "--buffer with --dsd counts bytes per channel and must be a multiple of 4";
      return false;
    }
    if (o->inputs > 0) {
      *error = "--dsd streams outputs only";
      return false;
    }
  }
  if (o->inputs == 0 && o->outputs == 0) {
    *error = "nothing to stream: --inputs and --outputs are both 0";
    return false;
  }
  return true;
}

bool AsioPeriodWithinTarget(const AsioReport& r) {
  if (r.periodCount == 0 || r.nominalPeriodUs <= 0) return false;
  return std::fabs(r.periodMeanUs - r.nominalPeriodUs) <= 0.01 * r.nominalPeriodUs &&
         r.periodMaxUs <= 2 * r.nominalPeriodUs;
}

void JudgeAsio(AsioReport* r) {
  bool unplug = false;
  bool panel = false;
  bool slow = false;
  for (const AsioInjection& f : r->injections) {
    unplug |= f.kind == AsioInjectionKind::Device && f.device.kind == sim::FaultKind::Unplug && f.applied;
    panel |= f.kind == AsioInjectionKind::PanelBufferSize && f.applied;
    slow |= f.kind == AsioInjectionKind::SlowCallback && f.applied;
  }
  r->exitCode = 1;
  if (!NT_SUCCESS(static_cast<NTSTATUS>(r->startStatus))) {
    r->error = "the driver did not start";
  } else if (!r->hostError.empty()) {
    r->error = "the ASIO host failed: " + r->hostError;
  } else if (!r->orderViolations.empty()) {
    r->error = "the driver accepted a call out of order: " + r->orderViolations.front();
  } else if (unplug) {
    // The device is gone: the driver must ask for a reset and the host end cleanly.
    if (r->resetRequests == 0) {
      r->error = "no reset request after the unplug";
    } else {
      r->exitCode = 0;
    }
  } else if (r->comparisonLostBytes) {
    r->error = "the comparison fell behind the device and lost frames";
  } else if (panel && !r->panelError.empty()) {
    r->error = r->panelError;
  } else if (panel) {
    const AsioInjection* change = nullptr;
    for (const AsioInjection& f : r->injections)
      if (f.kind == AsioInjectionKind::PanelBufferSize) change = &f;
    if (r->resetRequests != 1 || r->resetsDone != 1 || r->generations.size() != 2) {
      r->error = Format("the control panel's change gave %llu reset request(s) and %zu instance(s), not 1 and 2",
                        static_cast<unsigned long long>(r->resetRequests), r->generations.size());
    } else if (change && r->generations[1].bufferSize != static_cast<int32_t>(change->value * (r->dsd ? 8 : 1))) {
      r->error = Format("the new instance runs with %d, not the control panel's %u", r->generations[1].bufferSize,
                        change->value);
    } else if (r->outputs && !r->bitExact) {
      r->error = "the device's audio differs from the output halves";
    } else {
      r->exitCode = 0;
    }
  } else if (r->resetRequests) {
    r->error = "the driver asked for a reset";
  } else if (slow) {
    // A late host may glitch; the stream must go on without a reset.
    if (r->slowCallbacks == 0) {
      r->error = "the slow callback never came";
    } else {
      r->exitCode = 0;
    }
  } else if (r->outputs && !r->bitExact) {
    r->error = "the device's audio differs from the output halves";
  } else if (r->inputChecked && !r->inputBitExact) {
    r->error = "the input halves differ from the device's capture signal";
  } else if (r->missedSwitches || r->deviceUnderruns || r->deviceOverruns) {
    r->error = "buffer switches were missed or the device's FIFO ran over or dry";
  } else if (!r->samplePositionOk) {
    r->error = "the sample position did not advance by one buffer per switch";
  } else if (r->unexpectedTimeInfo || r->switchesAfterStop || r->outputReadyErrors) {
    r->error = "the driver called the wrong buffer switch, called after stop, or refused outputReady";
  } else {
    r->exitCode = 0;
  }
}

std::string AsioReportText(const AsioReport& r) {
  std::string out;
  out += Format("device: %s\n", r.device.c_str());
  if (!NT_SUCCESS(static_cast<NTSTATUS>(r.startStatus))) out += "start: " + Status(r.startStatus) + "\n";
  out += Format("driver: %s at %s (regsvr32: 0x%08X), %d input(s), %d output(s)\n", r.driverName.c_str(),
                r.dllPath.c_str(), static_cast<unsigned>(r.registerResult), r.driverInputs, r.driverOutputs);
  out += Format("stream: %s %u Hz, buffer_size %u, %u input(s), %u output(s), %s%s\n", r.dsd ? "DSD" : "PCM", r.rate,
                r.buffer, r.inputs, r.outputs, r.timeInfo ? "bufferSwitchTimeInfo" : "bufferSwitch",
                r.load ? Format(", %d load thread(s)", r.load).c_str() : "");
  for (const AsioInjection& f : r.injections) {
    out += Format("injected %s at %.3f s: %s\n", AsioInjectionName(f).c_str(), f.at, f.applied ? "applied" : "not reached");
  }
  if (!r.hostError.empty()) out += "host: " + r.hostError + "\n";
  for (const std::string& v : r.orderViolations) out += "out_of_order: " + v + "\n";
  out += Format("run: %.2f s\n", r.runSeconds);
  for (size_t g = 0; g < r.generations.size(); ++g) {
    const AsioGenerationReport& i = r.generations[g];
    out += Format("instance %zu: buffer %d (%u device frames per half), latencies %d in / %d out, %llu switches",
                  g, i.bufferSize, i.halfFrames, i.inputLatency, i.outputLatency,
                  static_cast<unsigned long long>(i.switches));
    if (i.checked) {
      out += Format(", %llu frames played correctly after %llu start-up frames",
                    static_cast<unsigned long long>(i.framesChecked), static_cast<unsigned long long>(i.startupFrames));
    }
    out += i.endedByReset ? ", ended by a reset\n" : "\n";
    if (i.mismatch) {
      out += Format("  first_mismatch: output frame %llu (%s): device %s, expected %s\n",
                    static_cast<unsigned long long>(i.firstMismatch), i.mismatchKind.c_str(), i.mismatchDevice.c_str(),
                    i.mismatchExpected.c_str());
    }
  }
  out += Format("buffer_switches: %llu (expected %llu)\n", static_cast<unsigned long long>(r.bufferSwitches),
                static_cast<unsigned long long>(r.expectedSwitches));
  if (r.timeInfo) out += Format("time_info_switches: %llu\n", static_cast<unsigned long long>(r.timeInfoSwitches));
  out += Format("missed_switches: %llu (same half twice: %llu)\n", static_cast<unsigned long long>(r.missedSwitches),
                static_cast<unsigned long long>(r.sameIndexTwice));
  out += Format("reset_requests: %llu (handled %llu)%s%s\n", static_cast<unsigned long long>(r.resetRequests),
                static_cast<unsigned long long>(r.resetsDone), r.reopenError.empty() ? "" : "; after it: ",
                r.reopenError.c_str());
  if (r.outputs) {
    out += Format("bit_exact: %s\n", r.bitExact ? "true" : "false");
    for (const std::string& c : r.mismatchCauses) out += "mismatch_cause: " + c + "\n";
  }
  if (r.inputChecked) {
    out += Format("input_bit_exact: %s%s%s\n", r.inputBitExact ? "true" : "false", r.inputMismatch.empty() ? "" : ": ",
                  r.inputMismatch.c_str());
  }
  out += Format("device_underruns: %llu\ndevice_overruns: %llu\n", static_cast<unsigned long long>(r.deviceUnderruns),
                static_cast<unsigned long long>(r.deviceOverruns));
  if (r.busLateXruns) out += Format("bus_late_xruns: %llu (the machine was busy)\n", static_cast<unsigned long long>(r.busLateXruns));
  out += Format("reported_input_latency: %d samples\nreported_output_latency: %d samples, %.2f ms\n",
                r.reportedInputLatency, r.reportedOutputLatency, 1000.0 * r.reportedOutputLatency / (r.rate ? r.rate : 1));
  if (r.latencyMeasured) {
    out += Format("measured_output_latency: %lld samples, %.2f ms (min %lld, max %lld)\n",
                  static_cast<long long>(r.latencyMedian), 1000.0 * r.latencyMedian / (r.rate ? r.rate : 1),
                  static_cast<long long>(r.latencyMin), static_cast<long long>(r.latencyMax));
  } else {
    out += "measured_output_latency: not measured\n";
  }
  out += Format("callback_period_us: mean %.1f, max %.1f, nominal %.1f (%llu periods; %s)\n", r.periodMeanUs,
                r.periodMaxUs, r.nominalPeriodUs, static_cast<unsigned long long>(r.periodCount),
                AsioPeriodWithinTarget(r) ? "within 1 % and 2x" : "outside 1 % or 2x");
  out += Format("sample_position_ok: %s%s\n", r.samplePositionOk ? "true" : "false",
                r.positionErrors ? Format(" (%llu wrong)", static_cast<unsigned long long>(r.positionErrors)).c_str() : "");
  if (r.switchesAfterStop) out += Format("switches_after_stop: %llu\n", static_cast<unsigned long long>(r.switchesAfterStop));
  if (r.unexpectedTimeInfo) out += Format("wrong_switch_kind: %llu\n", static_cast<unsigned long long>(r.unexpectedTimeInfo));
  if (r.outputReadyErrors) out += Format("output_ready_errors: %llu\n", static_cast<unsigned long long>(r.outputReadyErrors));
  if (r.slowCallbacks) out += Format("slow_callbacks: %llu\n", static_cast<unsigned long long>(r.slowCallbacks));
  out += Format("last_stop_ms: %.1f\n", r.lastStopMs);
  out += r.exitCode == 0 ? "result: ok\n" : "result: FAILED: " + r.error + "\n";
  return out;
}

std::string AsioReportJson(const AsioReport& r) {
  JsonWriter w;
  w.BeginObject();
  w.Key("device").String(r.device);
  w.Key("start_status").Number(r.startStatus);
  w.Key("driver_name").String(r.driverName);
  w.Key("dll_path").String(r.dllPath);
  w.Key("buffer").Number(r.buffer);
  w.Key("rate").Number(r.rate);
  w.Key("dsd").Bool(r.dsd);
  w.Key("time_info").Bool(r.timeInfo);
  w.Key("load").Number(r.load);
  w.Key("inputs").Number(r.inputs);
  w.Key("outputs").Number(r.outputs);
  w.Key("run_ms").Number(static_cast<int64_t>(r.runSeconds * 1000));
  w.Key("host_error");
  r.hostError.empty() ? w.Null() : w.String(r.hostError);
  w.Key("injections").BeginArray();
  for (const AsioInjection& f : r.injections) {
    w.BeginObject();
    w.Key("fault").String(AsioInjectionName(f));
    w.Key("at_ms").Number(static_cast<int64_t>(f.at * 1000));
    w.Key("applied").Bool(f.applied);
    w.EndObject();
  }
  w.EndArray();
  w.Key("instances").BeginArray();
  for (const AsioGenerationReport& g : r.generations) {
    w.BeginObject();
    w.Key("buffer_size").Number(g.bufferSize);
    w.Key("switches").Number(static_cast<int64_t>(g.switches));
    w.Key("frames_checked").Number(static_cast<int64_t>(g.framesChecked));
    w.Key("first_mismatch");
    g.mismatch ? w.Number(static_cast<int64_t>(g.firstMismatch)) : w.Null();
    w.Key("first_mismatch_kind");
    g.mismatch ? w.String(g.mismatchKind) : w.Null();
    w.Key("ended_by_reset").Bool(g.endedByReset);
    w.EndObject();
  }
  w.EndArray();
  w.Key("buffer_switches").Number(static_cast<int64_t>(r.bufferSwitches));
  w.Key("expected_switches").Number(static_cast<int64_t>(r.expectedSwitches));
  w.Key("missed_switches").Number(static_cast<int64_t>(r.missedSwitches));
  w.Key("reset_requests").Number(static_cast<int64_t>(r.resetRequests));
  w.Key("resets_handled").Number(static_cast<int64_t>(r.resetsDone));
  w.Key("bit_exact").Bool(r.bitExact);
  w.Key("mismatch_causes").BeginArray();
  for (const std::string& c : r.mismatchCauses) w.String(c);
  w.EndArray();
  w.Key("input_bit_exact");
  r.inputChecked ? w.Bool(r.inputBitExact) : w.Null();
  w.Key("input_mismatch");
  r.inputMismatch.empty() ? w.Null() : w.String(r.inputMismatch);
  w.Key("device_underruns").Number(static_cast<int64_t>(r.deviceUnderruns));
  w.Key("device_overruns").Number(static_cast<int64_t>(r.deviceOverruns));
  w.Key("bus_late_xruns").Number(static_cast<int64_t>(r.busLateXruns));
  w.Key("reported_input_latency").Number(r.reportedInputLatency);
  w.Key("reported_output_latency").Number(r.reportedOutputLatency);
  w.Key("measured_output_latency");
  r.latencyMeasured ? w.Number(r.latencyMedian) : w.Null();
  w.Key("callback_period_us").BeginObject();
  w.Key("mean").Number(std::llround(r.periodMeanUs));
  w.Key("max").Number(std::llround(r.periodMaxUs));
  w.Key("nominal").Number(std::llround(r.nominalPeriodUs));
  w.EndObject();
  w.Key("sample_position_ok").Bool(r.samplePositionOk);
  w.Key("switches_after_stop").Number(static_cast<int64_t>(r.switchesAfterStop));
  w.Key("out_of_order").BeginArray();
  for (const std::string& v : r.orderViolations) w.String(v);
  w.EndArray();
  w.Key("exit_code").Number(r.exitCode);
  w.Key("error");
  r.error.empty() ? w.Null() : w.String(r.error);
  w.EndObject();
  return w.Text() + "\n";
}

}  // namespace tools
