// libFuzzer target: arbitrary bytes as a device's descriptors, through the
// driver's start-up (USB layer, parse, data ranges, configuration, filter).
// Build with clang: cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++
//   -DCMAKE_C_COMPILER=clang -DUSBAUDIO_FUZZER=ON && build/fuzz/tests/descriptor_fuzzer
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "driver/runtime/pool_tags.h"
#include "driver/uac/usbaudiocl.h"
#include "platform/kernel/verifier.h"
#include "sim/uac/audio_function_model.h"
#include "sim/uac/default_audio_config.h"
#include "sim/usb/descriptor_file.h"
#include "sim/usb/sim_usb_device.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sim::DescriptorSet set;
  std::string error;
  // The first byte picks the bus speed; the rest is a descriptor file.
  if (size < 2 || !sim::ParseDescriptorBytes(std::vector<uint8_t>(data + 1, data + size), (data[0] & 1) != 0, set, error)) {
    return 0;
  }
  {
    sim::AudioFunctionModel function(set, sim::DefaultAudioConfig(set));
    sim::SimUsbDevice device(set, &function);
    std::unique_ptr<CUSBAudioCL> audio(new (NonPagedPoolNx, POOLTAG_USB) CUSBAudioCL());
    if (audio && NT_SUCCESS(audio->Init(device.Pdo(), 0)) && NT_SUCCESS(audio->Configure())) {
      PCFILTER_DESCRIPTOR filter;
      if (NT_SUCCESS(audio->BuildFilter(&filter))) audio->FreeFilter(&filter);
      ULONG channels, container, bytes;
      audio->SelectStreamingFormat(FALSE, 2, 16, 48000, 1, &channels, &container, &bytes);
    }
  }
  platform::VerifyNoLeaks("descriptor fuzzer");
  return 0;
}
