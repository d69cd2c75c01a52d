#include "tools/sim/stream_options.h"
#include "tools/sim/text_format.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tools {

const char kPlayUsage[] =
    "usage: usbaudio-sim play (FILE.wav | --tone HZ) [--seconds N] [--format CH/BITS/RATE]\n"
    "                         [--profile NAME | DESCRIPTORS [--full-speed]] [--ppm X] [--out DEVICE.wav]\n"
    "                         [--inject WHAT@SECONDS[+DURATION]]... [--tick MS] [--jitter US]\n"
    "                         [--completion sync|async|mixed] [--json] [--quiet] [--trace]\n"
    "  plays through the \"Wave\" filter's render pin as the Windows audio engine does and compares\n"
    "  what the device played with what the client played (tones: 2 ch / 24 bit / 48000 Hz, -6 dBFS)\n"
    "  --tick MS: the clock tick timers and waits expire on (default 15.625; 1 as with a raised timer\n"
    "  resolution); --jitter US: up to this much random latency before work items, DPCs and USB\n"
    "  completions (default 0); --completion: how the bus completes URBs (default mixed)\n";
const char kRecordUsage[] =
    "usage: usbaudio-sim record --seconds N OUT.wav [--format CH/BITS/RATE]\n"
    "                           [--profile NAME | DESCRIPTORS [--full-speed]] [--tick MS] [--jitter US]\n"
    "                           [--completion sync|async|mixed] [--json] [--quiet] [--trace]\n"
    "  records from the capture pin (default 2 ch / 24 bit / 48000 Hz) and checks it against the\n"
    "  device's capture signal\n";

namespace {

bool ParseFormat(const std::string& text, sim::WavFormat* format, std::string* error) {
  unsigned channels = 0, bits = 0, rate = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%u/%u/%u%c", &channels, &bits, &rate, &tail) != 3) {
    *error = "--format takes CH/BITS/RATE, e.g. 2/16/44100";
    return false;
  }
  sim::WavFormat f{channels, bits, bits, rate, 0, false};
  if (!sim::ValidWavFormat(f, error)) {
    *error = "--format: " + *error;
    return false;
  }
  *format = f;
  return true;
}

bool ParseCompletion(const std::string& text, sim::CompletionMode* mode) {
  for (sim::CompletionMode m :
       {sim::CompletionMode::Synchronous, sim::CompletionMode::Asynchronous, sim::CompletionMode::Mixed}) {
    if (text == CompletionName(m)) {
      *mode = m;
      return true;
    }
  }
  return false;
}

}  // namespace

const char* CompletionName(sim::CompletionMode mode) {
  switch (mode) {
    case sim::CompletionMode::Synchronous:
      return "sync";
    case sim::CompletionMode::Asynchronous:
      return "async";
    default:
      return "mixed";
  }
}

bool ParseStreamOptions(const std::vector<std::string>& args, StreamOptions* o, std::string* error) {
  o->capture = !args.empty() && args[0] == "record";
  std::vector<std::string> positional;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](const char* what) -> const std::string* {
      if (i + 1 >= args.size()) {
        *error = std::string(what) + " needs a value";
        return nullptr;
      }
      return &args[++i];
    };
    const std::string* v = nullptr;
    if (arg == "--tone" && !o->capture) {
      if (!(v = value("--tone"))) return false;
      if (!ParseNumber(*v, &o->toneHz) || o->toneHz <= 0 || o->toneHz > 1e6) {
        *error = "--tone needs a frequency in Hz";
        return false;
      }
      o->tone = true;
    } else if (arg == "--seconds") {
      if (!(v = value("--seconds"))) return false;
      if (!ParseNumber(*v, &o->seconds) || o->seconds <= 0 || o->seconds > 3600) {
        *error = "--seconds needs a duration between 0 and 3600";
        return false;
      }
    } else if (arg == "--format") {
      if (!(v = value("--format")) || !ParseFormat(*v, &o->format, error)) return false;
    } else if (arg == "--profile") {
      if (!(v = value("--profile"))) return false;
      o->profile = *v;
    } else if (arg == "--full-speed") {
      o->fullSpeed = true;
    } else if (arg == "--ppm" && !o->capture) {
      if (!(v = value("--ppm"))) return false;
      if (!ParseNumber(*v, &o->ppm) || std::fabs(o->ppm) > 10000) {
        *error = "--ppm needs a clock offset between -10000 and 10000";
        return false;
      }
    } else if (arg == "--out" && !o->capture) {
      if (!(v = value("--out"))) return false;
      o->outPath = *v;
    } else if (arg == "--inject" && !o->capture) {
      if (!(v = value("--inject"))) return false;
      sim::FaultInjection f;
      if (!sim::ParseFaultInjection(*v, &f, error)) return false;
      o->injections.push_back(f);
    } else if (arg == "--tick") {
      if (!(v = value("--tick"))) return false;
      if (!ParseNumber(*v, &o->tickMs) || o->tickMs < 0.1 || o->tickMs > 100) {
        *error = "--tick needs a clock tick in milliseconds between 0.1 and 100 (Windows: 15.625, or 1)";
        return false;
      }
    } else if (arg == "--jitter") {
      if (!(v = value("--jitter"))) return false;
      if (!ParseNumber(*v, &o->jitterUs) || o->jitterUs < 0 || o->jitterUs > 100000) {
        *error = "--jitter needs a latency in microseconds between 0 and 100000";
        return false;
      }
    } else if (arg == "--completion") {
      if (!(v = value("--completion"))) return false;
      if (!ParseCompletion(*v, &o->completion)) {
        *error = "--completion takes sync, async or mixed, not '" + *v + "'";
        return false;
      }
    } else if (arg == "--json") {
      o->json = true;
    } else if (arg == "--quiet") {
      o->quiet = true;
    } else if (!arg.empty() && arg[0] == '-') {
      *error = "unknown option " + arg;
      return false;
    } else {
      positional.push_back(arg);
    }
  }
  // The audio file comes first (play: unless a tone is asked for; record:
  // the output), then an optional descriptor file.
  const bool needsFile = o->capture || !o->tone;
  size_t next = 0;
  if (needsFile) {
    if (positional.empty()) {
      *error = o->capture ? "give the output WAV file" : "give a WAV file or --tone HZ";
      return false;
    }
    (o->capture ? o->outPath : o->wavPath) = positional[next++];
  }
  if (next < positional.size()) o->descriptorPath = positional[next++];
  if (next < positional.size()) {
    *error = "unexpected argument " + positional[next];
    return false;
  }
  if (o->capture && o->seconds <= 0) {
    *error = "record needs --seconds N";
    return false;
  }
  if (!o->capture && o->tone && o->seconds <= 0) o->seconds = 2;
  return true;
}

}  // namespace tools
