// The streaming comparison of `usbaudio-sim play` without a device: played
// frames fed in pieces against a second reading of the source, the frame
// values reported where they first differ, the causes named for a run that
// is not bit-exact, the bounded memory it works in, the WAV file read and
// written piece by piece, and --trace of usbaudio-inspect.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "sim/clients/audio_source.h"
#include "sim/clients/stream_compare.h"
#include "sim/clients/wav_file.h"
#include "tools/inspect/inspect_command.h"

namespace {

using sim::DeviceFrameFormat;
using sim::StreamComparator;
using sim::WavFormat;

const WavFormat kClient{2, 16, 16, 48000, 0, false};
const DeviceFrameFormat kDevice{2, 4, 24};  // 8-byte device frames

std::unique_ptr<sim::FrameSource> Tone(uint64_t frames) {
  return std::make_unique<sim::ToneSource>(997, -6, kClient, frames);
}

// The tone as the device should play it, then `padding` frames of silence.
std::vector<uint8_t> Played(uint64_t frames, uint64_t padding) {
  const sim::WavData tone = sim::MakeTone(997, -6, kClient, frames);
  std::vector<uint8_t> out = sim::ClientToDevice(tone.samples.data(), tone.samples.size(), kClient, kDevice);
  out.resize(out.size() + padding * 8, 0);
  return out;
}

// Fed in uneven pieces, so frames straddle them.
sim::StreamComparison Compare(const std::vector<uint8_t>& played, uint64_t sourceFrames, uint64_t clientFrames,
                              bool partialOk) {
  StreamComparator c(Tone(sourceFrames));
  c.SetDeviceFormat(kDevice);
  for (size_t at = 0, piece = 1; at < played.size(); at += piece, piece = piece * 3 % 1001 + 1)
    c.Feed(played.data() + at, std::min(piece, played.size() - at));
  return c.Finish(clientFrames, partialOk);
}

TEST(StreamComparison, FindsTheFirstDifferingFrameWithBothValues) {
  std::vector<uint8_t> played = Played(10000, 300);
  sim::StreamComparison r = Compare(played, 10000, 10000, false);
  EXPECT_TRUE(r.frames.bitExact);
  EXPECT_EQ(r.frames.firstMismatch, -1);
  EXPECT_EQ(r.deviceFrames, 10300u);
  EXPECT_EQ(r.frames.receivedFrames, 10000u);

  // One sample changed on its way: the frame, and what it should have been.
  const std::vector<uint8_t> good(played.begin() + 7321 * 8, played.begin() + 7322 * 8);
  played[7321 * 8 + 6] ^= 0x40;
  r = Compare(played, 10000, 10000, false);
  EXPECT_FALSE(r.frames.bitExact);
  EXPECT_EQ(r.frames.firstMismatch, 7321);
  EXPECT_EQ(r.mismatchExpected, good);
  std::vector<uint8_t> bad = good;
  bad[6] ^= 0x40;
  EXPECT_EQ(r.mismatchDevice, bad);
  played[7321 * 8 + 6] ^= 0x40;

  // Noise in the padding, a short stream, and one cut off by removal.
  played[10200 * 8 + 1] = 1;
  r = Compare(played, 10000, 10000, false);
  EXPECT_EQ(r.frames.firstMismatch, 10200);
  EXPECT_EQ(r.mismatchExpected, std::vector<uint8_t>(8, 0));
  const std::vector<uint8_t> half(played.begin(), played.begin() + 5000 * 8);
  EXPECT_EQ(Compare(half, 10000, 10000, false).frames.firstMismatch, 5000);
  r = Compare(half, 10000, 10000, true);
  EXPECT_TRUE(r.frames.bitExact);
  EXPECT_EQ(r.frames.receivedFrames, 5000u);
  // Cut off, the device goes on with its silence: still only what arrived counts.
  std::vector<uint8_t> cut = half;
  cut.resize(cut.size() + 700 * 8, 0);
  r = Compare(cut, 10000, 10000, true);
  EXPECT_TRUE(r.frames.bitExact);
  EXPECT_EQ(r.frames.receivedFrames, 5000u);
  EXPECT_EQ(Compare(cut, 10000, 10000, false).frames.firstMismatch, 5000);
  // A gap of silence in the middle (an underrun) is a mismatch even then.
  std::vector<uint8_t> gap = played;
  std::fill(gap.begin() + 3000 * 8, gap.begin() + 3100 * 8, 0);
  EXPECT_EQ(Compare(gap, 10000, 10000, true).frames.firstMismatch, 3000);

  // The client stopped after 6000 frames: what the device played after them
  // must be silence.
  std::vector<uint8_t> early(played.begin(), played.begin() + 6000 * 8);
  early.resize(early.size() + 100 * 8, 0);
  EXPECT_TRUE(Compare(early, 10000, 6000, false).frames.bitExact);
  early[6050 * 8] = 3;
  EXPECT_EQ(Compare(early, 10000, 6000, false).frames.firstMismatch, 6000);
}

// Its memory is a block of expected frames and a partial frame, whatever
// the length: here 2 and 60 seconds of 192 kHz stereo.
TEST(StreamComparison, HoldsTheSameFewBlocksWhateverTheLength) {
  const WavFormat client{2, 32, 32, 192000, 0, false};
  const DeviceFrameFormat device{2, 4, 32};
  std::vector<uint8_t> block(4096 * 8, 0);
  size_t peaks[2] = {0, 0};
  const uint64_t lengths[2] = {2 * 192000, 60 * 192000};
  for (int i = 0; i < 2; ++i) {
    // A silent source keeps the test fast; the comparator works the same.
    StreamComparator c(std::make_unique<sim::ToneSource>(1000, -1000, client, lengths[i]));
    c.SetDeviceFormat(device);
    for (uint64_t fed = 0; fed < lengths[i]; fed += 4096) c.Feed(block.data(), block.size());
    EXPECT_TRUE(c.Finish(lengths[i], false).frames.bitExact);
    peaks[i] = c.PeakBufferedBytes();
  }
  EXPECT_EQ(peaks[0], peaks[1]);
  EXPECT_LT(peaks[1], size_t{1} << 20);
}

TEST(StreamComparison, NamesWhatMadeARunDiffer) {
  using Causes = std::vector<std::string>;
  sim::MismatchEvidence none;
  EXPECT_EQ(sim::MismatchCauses(true, -1, none), Causes{});
  EXPECT_EQ(sim::MismatchCauses(false, 500, none), Causes{"driver_changed"});

  // The port played silence from frame 400 on because the client was late.
  sim::MismatchEvidence late;
  late.clientLateFrames = 4800;
  late.firstClientLate = 400;
  EXPECT_EQ(sim::MismatchCauses(false, 400, late), Causes{"client_late"});
  // ... but the audio already differed before: the driver changed it too.
  EXPECT_EQ(sim::MismatchCauses(false, 399, late), (Causes{"client_late", "driver_changed"}));

  sim::MismatchEvidence restart;
  restart.restarts = 1;
  restart.firstRestart = 1000;
  EXPECT_EQ(sim::MismatchCauses(false, 1200, restart), Causes{"restart"});

  sim::MismatchEvidence xruns;
  xruns.busLateXruns = 2;
  xruns.firstXrun = 100;
  EXPECT_EQ(sim::MismatchCauses(false, 100, xruns), Causes{"bus_late"});
  xruns.deviceXruns = 1;
  EXPECT_EQ(sim::MismatchCauses(false, 100, xruns), (Causes{"device_xrun", "bus_late"}));
  EXPECT_EQ(sim::MismatchCauses(false, 50, xruns), (Causes{"device_xrun", "bus_late", "driver_changed"}));
}

TEST(WavStreams, AFileIsWrittenAndReadPieceByPiece) {
  const std::string path = ::testing::TempDir() + "wav_streams.wav";
  const WavFormat format{3, 24, 20, 44100, 0, false};  // written as EXTENSIBLE
  const sim::WavData tone = sim::MakeTone(440, -3, format, 3001);
  std::string error;
  {
    sim::WavFileWriter writer;
    ASSERT_TRUE(writer.Open(path, format, &error)) << error;
    for (size_t at = 0; at < tone.samples.size(); at += 1001)
      ASSERT_TRUE(writer.Append(tone.samples.data() + at, std::min<size_t>(1001, tone.samples.size() - at)));
    ASSERT_TRUE(writer.Close(&error)) << error;
  }
  sim::WavData whole;
  ASSERT_TRUE(sim::ReadWavFile(path, &whole, &error)) << error;
  EXPECT_EQ(whole.format.validBits, 20u);
  EXPECT_EQ(whole.samples, tone.samples);

  std::unique_ptr<sim::WavFileSource> source = sim::WavFileSource::Open(path, 0, &error);
  ASSERT_TRUE(source) << error;
  EXPECT_EQ(source->Frames(), 3001u);
  std::vector<uint8_t> read(tone.samples.size() + 9);
  uint64_t frames = 0;
  while (const uint64_t n = source->Read(read.data() + frames * 9, 700)) frames += n;
  EXPECT_EQ(frames, 3001u);
  read.resize(tone.samples.size());
  EXPECT_EQ(read, tone.samples);
  // --seconds cuts it short; a file that is not WAV says why.
  EXPECT_EQ(sim::WavFileSource::Open(path, 0.01, &error)->Frames(), 441u);
  FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite("RIFF\x04\x00\x00\x00WAVE", 1, 12, f);
  std::fclose(f);
  EXPECT_FALSE(sim::WavFileSource::Open(path, 0, &error));
  EXPECT_EQ(error, "no fmt chunk");
  std::remove(path.c_str());
}

TEST(InspectTrace, ShowsTheDriversLinesApartFromTheReport) {
  std::string trace;
  const tools::CommandResult traced =
      tools::RunInspect({"--profile", "default", "--json", "--trace"}, [&](const std::string& text) { trace += text; });
  EXPECT_EQ(traced.exitCode, 0) << traced.err;
  EXPECT_NE(trace.find("vm_usbaudio: "), std::string::npos) << trace;
  EXPECT_EQ(traced.out.find("vm_usbaudio"), std::string::npos);
  // Without --trace the same run shows nothing.
  trace.clear();
  const tools::CommandResult plain =
      tools::RunInspect({"--profile", "default", "--json"}, [&](const std::string& text) { trace += text; });
  EXPECT_EQ(plain.out, traced.out);
  EXPECT_TRUE(trace.empty()) << trace;
}

}  // namespace
