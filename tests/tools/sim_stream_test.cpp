// usbaudio-sim play and record: argument and file errors, and real runs of
// the driver on the simulated machine streaming through the audio-engine
// client, checked by what the device played (or the client recorded).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/clients/audio_compare.h"
#include "sim/clients/fault_plan.h"
#include "sim/clients/wav_file.h"
#include "tests/support/verifier_test.h"
#include "tools/sim/sim_command.h"

namespace {

using tools::RunSim;
using tools::SimCommandResult;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class SimStreamTest : public VerifiedTest {
 protected:
  std::string TempPath(const std::string& name) {
    paths_.push_back(::testing::TempDir() + "sim_stream_" + name);
    return paths_.back();
  }
  void TearDown() override {
    for (const std::string& path : paths_) std::remove(path.c_str());
    VerifiedTest::TearDown();
  }

 private:
  std::vector<std::string> paths_;
};

TEST_F(SimStreamTest, BadArgumentsAndFilesExitWithTwo) {
  const std::string garbage = TempPath("garbage.wav");
  {
    FILE* f = std::fopen(garbage.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite("RIFF\x04\x00\x00\x00WAVE", 1, 12, f);  // a RIFF/WAVE header and no chunks
    std::fclose(f);
  }
  const std::vector<std::pair<std::vector<std::string>, const char*>> cases = {
      {{"play"}, "give a WAV file or --tone HZ"},
      {{"play", "--tone", "loud"}, "--tone needs a frequency"},
      {{"play", "--tone", "1000", "--seconds", "0"}, "--seconds needs a duration"},
      {{"play", "--tone", "1000", "--seconds"}, "--seconds needs a value"},
      {{"play", "--tone", "1000", "--ppm", "1e6"}, "--ppm needs a clock offset"},
      {{"play", "--tone", "1000", "--format", "2/20/48000"}, "sample size 20"},
      {{"play", "--tone", "1000", "--inject", "meteor@1"}, "unknown fault 'meteor'"},
      {{"play", "--tone", "1000", "--inject", "stall"}, "WHAT@SECONDS"},
      {{"play", "--tone", "1000", "--inject", "stall@soon"}, "bad time"},
      {{"play", "--tone", "1000", "--inject", "stall@1+2"}, "stall takes no duration"},
      {{"play", "--tone", "1000", "--profile", "nonesuch"}, "unknown profile 'nonesuch'"},
      {{"play", "--tone", "1000", "a.bin", "b.bin"}, "unexpected argument b.bin"},
      {{"play", "--tone", "1000", "/nonexistent/device.bin"}, "/nonexistent/device.bin"},
      {{"play", "/nonexistent.wav"}, "cannot open /nonexistent.wav"},
      {{"play", garbage}, "no fmt chunk"},
      {{"play", "--bogus"}, "unknown option --bogus"},
      {{"record", "out.wav"}, "record needs --seconds"},
      {{"record", "--seconds", "1"}, "give the output WAV file"},
      {{"record", "--seconds", "1", "out.wav", "--tone", "1000"}, "unknown option --tone"},
      {{"record", "--seconds", "0.1", TempPath("none.wav"), "--profile", "uac1-fs"}, "the device has no capture pin"},
  };
  for (const auto& [args, message] : cases) {
    const SimCommandResult r = RunSim(args);
    EXPECT_EQ(r.exitCode, 2) << args[0] << " " << (args.size() > 1 ? args[1] : "") << ": " << r.out << r.err;
    EXPECT_TRUE(Has(r.err, message)) << "expected '" << message << "' in: " << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
  sim::FaultInjection f;
  std::string error;
  ASSERT_TRUE(sim::ParseFaultInjection("feedback-garbage@1.5+2", &f, &error)) << error;
  EXPECT_EQ(f.kind, sim::FaultKind::FeedbackGarbage);
  EXPECT_EQ(f.at, 1.5);
  EXPECT_EQ(f.duration, 2.0);
  ASSERT_TRUE(sim::ParseFaultInjection("stall@2", &f, &error)) << error;
  EXPECT_EQ(f.kind, sim::FaultKind::IsoErrors) << "an isochronous endpoint cannot stall";
  ASSERT_TRUE(sim::ParseFaultInjection("iso-errors@2", &f, &error)) << error;
  EXPECT_EQ(f.kind, sim::FaultKind::IsoErrors);
}

// One second of tone through each kind of device: every frame arrives,
// exactly, with no FIFO under- or overrun once the device has started.
TEST_F(SimStreamTest, AToneIsPlayedBitExactOnEveryKindOfDevice) {
  for (const char* profile : {"default", "uac1-fs", "uac2-implicit", "uac2-hs-1ms", "uac1-hs", "uac2-fb-interval1"}) {
    std::vector<std::string> progress;
    const SimCommandResult r =
        RunSim({"play", "--tone", "1000", "--seconds", "1", "--profile", profile, "--json"},
               [&](const std::string& line) { progress.push_back(line); });
    EXPECT_EQ(r.exitCode, 0) << profile << ": " << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "\"frames_played\":48000,\"frames_received\":48000,")) << profile << ": " << r.out;
    EXPECT_TRUE(Has(r.out, "\"bit_exact\":true,\"first_mismatch\":null")) << profile << ": " << r.out;
    EXPECT_TRUE(Has(r.out, "\"device_underruns\":0,\"device_overruns\":0,")) << profile << ": " << r.out;
    EXPECT_TRUE(Has(r.out, "\"restarts\":0,")) << profile << ": " << r.out;
    EXPECT_TRUE(Has(r.out, "\"error\":null}")) << profile << ": " << r.out;
    ASSERT_FALSE(progress.empty()) << profile;
    EXPECT_EQ(progress.front().substr(0, 6), "\rplay ");
    EXPECT_EQ(progress.back(), "\n");
  }
  // Explicit feedback reports its range around the nominal 6.0 frames per microframe.
  const SimCommandResult r = RunSim({"play", "--tone", "440", "--seconds", "0.5", "--ppm", "300"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "nominal 6.00000")) << r.out;
  EXPECT_TRUE(Has(r.out, "bit exact: yes")) << r.out;
}

TEST_F(SimStreamTest, AWavFileIsPlayedAndTheDeviceAudioWrittenOut) {
  // 16-bit stereo noise at 44.1 kHz: the device's recorded audio, written
  // with --out, is the file's frames in the device format, then silence.
  sim::WavData in;
  in.format = {2, 16, 16, 44100, 0, false};
  in.samples.resize(22050 * 4);
  uint32_t x = 1;
  for (uint8_t& b : in.samples) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 16);
  const std::string source = TempPath("noise.wav");
  const std::string device = TempPath("device.wav");
  std::string error;
  ASSERT_TRUE(sim::WriteWavFile(source, in, &error)) << error;
  const SimCommandResult r = RunSim({"play", source, "--out", device, "--profile", "uac1-fs"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "played 22050 frames")) << r.out;
  EXPECT_TRUE(Has(r.out, "bit exact: yes")) << r.out;
  sim::WavData out;
  ASSERT_TRUE(sim::ReadWavFile(device, &out, &error)) << error;
  EXPECT_EQ(out.format.sampleRate, 44100u);
  EXPECT_EQ(out.format.channels, 2u);
  const sim::DeviceFrameFormat frame{out.format.channels, out.format.bitsPerSample / 8, out.format.validBits};
  const std::vector<uint8_t> expected = sim::ClientToDevice(in.samples.data(), in.samples.size(), in.format, frame);
  ASSERT_GE(out.samples.size(), expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.samples.begin()));
  for (size_t i = expected.size(); i < out.samples.size(); ++i) ASSERT_EQ(out.samples[i], 0) << i;
}

TEST_F(SimStreamTest, RecordingFollowsTheDeviceCaptureSignal) {
  for (const char* format : {"2/24/48000", "2/16/44100"}) {
    const std::string path = TempPath("recording.wav");
    const SimCommandResult r = RunSim({"record", "--seconds", "0.5", path, "--format", format, "--json"});
    EXPECT_EQ(r.exitCode, 0) << format << ": " << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "\"bit_exact\":true,\"first_mismatch\":null")) << format << ": " << r.out;
    sim::WavData recording;
    std::string error;
    ASSERT_TRUE(sim::ReadWavFile(path, &recording, &error)) << error;
    EXPECT_EQ(recording.Frames(), recording.format.sampleRate / 2) << format;
  }
}

TEST_F(SimStreamTest, InjectedFaultsEndCleanly) {
  // Iso errors on the data pipe (a transfer failed as a whole among them)
  // restart it once and streaming goes on to the end.
  SimCommandResult r = RunSim({"play", "--tone", "1000", "--seconds", "1", "--inject", "iso-errors@0.3", "--json"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "\"restarts\":1,")) << r.out;
  EXPECT_TRUE(Has(r.out, "\"frames_played\":48000,")) << r.out;
  EXPECT_TRUE(Has(r.out, "\"applied\":true")) << r.out;
  // Unplugged: the client stops, the pin closes and the driver unloads
  // without a hang or a leak (the fixture's checks); what did arrive is exact.
  r = RunSim({"play", "--tone", "1000", "--seconds", "1", "--inject", "unplug@0.3", "--json"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "\"unplugged\":true")) << r.out;
  EXPECT_TRUE(Has(r.out, "\"bit_exact\":true")) << r.out;
  EXPECT_FALSE(Has(r.out, "\"frames_received\":48000,")) << r.out;
}

uint64_t JsonNumber(const std::string& json, const std::string& key) {
  const size_t at = json.find("\"" + key + "\":");
  return at == std::string::npos ? UINT64_MAX : std::stoull(json.substr(at + key.size() + 3));
}

// A run that is not bit-exact says why: the client starved (the port played
// silence in its place), the driver restarted the stream; never "the driver
// changed the audio" when something else disturbed it first.
TEST_F(SimStreamTest, ARunThatIsNotBitExactSaysWhy) {
  SimCommandResult r =
      RunSim({"play", "--tone", "1000", "--seconds", "1", "--inject", "client-late@0.3+0.1", "--json"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "\"bit_exact\":false")) << r.out;
  EXPECT_TRUE(Has(r.out, "\"mismatch_causes\":[\"client_late\"")) << r.out;
  EXPECT_FALSE(Has(r.out, "driver_changed")) << r.out;
  // 100 ms without writes less the 30 ms the client keeps ahead (a loaded
  // machine may add some): frames, not bytes.
  EXPECT_GE(JsonNumber(r.out, "client_late_frames"), 48u * 40) << r.out;
  EXPECT_LE(JsonNumber(r.out, "client_late_frames"), 48u * 200) << r.out;
  EXPECT_FALSE(Has(r.out, "\"first_mismatch_device\":null")) << r.out;
  r = RunSim({"play", "--tone", "1000", "--seconds", "1", "--inject", "client-late@0.3+0.1"});
  EXPECT_TRUE(Has(r.out, "because the client was late")) << r.out;

  // Iso errors lose packets and the transfers in flight at the restart;
  // noise shows the loss where it happened (a tone hides whole lost periods).
  // "stall" is iso-errors' old name.
  sim::WavData noise;
  noise.format = {2, 16, 16, 48000, 0, false};
  noise.samples.resize(48000 * 4);
  uint32_t x = 7;
  for (uint8_t& b : noise.samples) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 16);
  const std::string source = TempPath("stall_noise.wav");
  std::string error;
  ASSERT_TRUE(sim::WriteWavFile(source, noise, &error)) << error;
  r = RunSim({"play", source, "--inject", "stall@0.3", "--json"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "\"restarts\":1,")) << r.out;
  EXPECT_TRUE(Has(r.out, "\"bit_exact\":false")) << r.out;
  EXPECT_TRUE(Has(r.out, "\"restart\"")) << r.out;
  EXPECT_FALSE(Has(r.out, "driver_changed")) << r.out;
}

// --trace: the driver's lines as they happen, apart from the report (and in
// place of the progress line).
TEST_F(SimStreamTest, TraceShowsTheDriversLines) {
  std::string trace;
  std::vector<std::string> progress;
  const SimCommandResult r = RunSim({"play", "--tone", "1000", "--seconds", "0.3", "--json", "--trace"},
                                    [&](const std::string& line) { progress.push_back(line); },
                                    [&](const std::string& text) { trace += text; });
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(Has(trace, "vm_usbaudio: ")) << trace;
  EXPECT_FALSE(Has(r.out, "vm_usbaudio")) << r.out;
  EXPECT_EQ(r.out.front(), '{');
  EXPECT_TRUE(progress.empty());
}

}  // namespace
