// libFuzzer target: the input's bytes drive client processes sending
// private (low-latency channel) and standard property requests to the
// started driver's filter and streaming pins (tests/fuzz/asio_property_session.h).
// A refused request that changed what a client can see aborts; verifier
// stops, sanitizer findings and leaks at unload end the run by themselves.
// Build with clang: cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++
//   -DCMAKE_C_COMPILER=clang -DUSBAUDIO_FUZZER=ON && build/fuzz/tests/asio_property_fuzzer
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/kernel/verifier.h"
#include "tests/fuzz/asio_property_session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  asiofuzz::Result result;
  {
    asiofuzz::Session session;
    if (!session.Ok()) {
      std::fprintf(stderr, "the driver did not start on the simulated device\n");
      std::abort();
    }
    asiofuzz::Input input(data, size);
    result = session.Run(input, 4096);
  }
  platform::VerifyNoLeaks("ASIO property fuzzer");
  if (!result.changedByRefusal.empty()) {
    std::fprintf(stderr, "a refused request changed the client's view: %s\n", result.changedByRefusal[0].c_str());
    std::abort();
  }
  return 0;
}
