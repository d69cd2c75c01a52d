// The device's function behind its data endpoints (isochronous, bulk and
// interrupt): the bus hands it each packet in the (micro)frame it is on the
// wire. Called on the bus thread, in (micro)frame order across all pipes.
#pragma once

#include <cstdint>

namespace sim {

class EndpointDataHandler {
 public:
  virtual ~EndpointDataHandler() = default;

  virtual void OnAlternateSelected(uint8_t /*interfaceNumber*/, uint8_t /*alternate*/) {}
  // An OUT packet arrived at the start of `unit` ((micro)frame count).
  virtual void OnOutPacket(uint8_t endpoint, uint64_t unit, const uint8_t* data, uint32_t length) = 0;
  // An IN token in `unit`: write at most `room` bytes and return how many
  // were written (0 is a zero-length packet). Bulk and interrupt endpoints
  // may return a negative value to NAK; the token is then repeated later.
  virtual int32_t OnInPacket(uint8_t endpoint, uint64_t unit, uint8_t* data, uint32_t room) = 0;
  // Every (micro)frame before `unit` has been served on every pipe; the
  // function may let its own time run up to there.
  virtual void AdvanceTo(uint64_t /*unit*/) {}
  // True while the function needs time to run even without transfers
  // (e.g. a FIFO still playing out).
  virtual bool WantsTicks() const { return false; }
  // The bus thread ran late (it woke, or went on after being preempted,
  // more than two frames after it meant to): every unit before `untilUnit`
  // is served late. Called before those units are served.
  virtual void OnBusLate(uint64_t /*untilUnit*/) {}
};

}  // namespace sim
