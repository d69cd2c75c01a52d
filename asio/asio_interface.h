// IASIO: the COM interface an ASIO host drives a driver through, in the
// published slot order. It has no interface identifier of its own: hosts
// ask the class factory for the driver's class identifier as the interface.
//
// The methods use the compiler's default member calling convention, as the
// published interface does (not STDMETHODCALLTYPE; on x64 there is only
// one convention). No virtual destructor: it would add vtable slots.
#pragma once

#include "asio/asio_types.h"

struct IASIO : public IUnknown {
  // QueryInterface, AddRef, Release come first, from IUnknown.
  virtual ASIOBool init(void *sysHandle) = 0;
  virtual void getDriverName(char *name) = 0;  // at most 32 characters
  virtual LONG getDriverVersion() = 0;
  virtual void getErrorMessage(char *string) = 0;  // at most 124 characters
  virtual ASIOError start() = 0;
  virtual ASIOError stop() = 0;
  virtual ASIOError getChannels(LONG *numInputChannels, LONG *numOutputChannels) = 0;
  virtual ASIOError getLatencies(LONG *inputLatency, LONG *outputLatency) = 0;
  virtual ASIOError getBufferSize(LONG *minSize, LONG *maxSize, LONG *preferredSize, LONG *granularity) = 0;
  virtual ASIOError canSampleRate(ASIOSampleRate sampleRate) = 0;
  virtual ASIOError getSampleRate(ASIOSampleRate *sampleRate) = 0;
  virtual ASIOError setSampleRate(ASIOSampleRate sampleRate) = 0;
  virtual ASIOError getClockSources(ASIOClockSource *clocks, LONG *numSources) = 0;
  virtual ASIOError setClockSource(LONG reference) = 0;
  virtual ASIOError getSamplePosition(ASIOSamples *sPos, ASIOTimeStamp *tStamp) = 0;
  virtual ASIOError getChannelInfo(ASIOChannelInfo *info) = 0;
  virtual ASIOError createBuffers(ASIOBufferInfo *bufferInfos, LONG numChannels, LONG bufferSize,
                                  ASIOCallbacks *callbacks) = 0;
  virtual ASIOError disposeBuffers() = 0;
  virtual ASIOError controlPanel() = 0;
  virtual ASIOError future(LONG selector, void *opt) = 0;
  virtual ASIOError outputReady() = 0;
};
