// The port library's COM interfaces must put every method in the vtable slot
// the DDK gives it: the driver's objects are called by slot, by a port
// library compiled against the DDK. A pointer to a virtual member function
// holds 1 + the slot's byte offset (Itanium C++ ABI, used by GCC on both
// builds), so the slot order can be read without calling anything.
#include <wdm.h>
#include <portcls.h>
#include <stdunk.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

template <typename M>
long SlotOf(M method) {
  static_assert(sizeof(M) == 2 * sizeof(ptrdiff_t), "Itanium member function pointer");
  ptrdiff_t raw[2];
  std::memcpy(raw, &method, sizeof raw);
  if ((raw[0] & 1) == 0) return -1;  // not virtual
  return static_cast<long>((raw[0] - 1) / static_cast<ptrdiff_t>(sizeof(void*)));
}

#define SLOT(iface, method) SlotOf(&iface::method)

std::string Text(const GUID& g) {
  char s[40];
  snprintf(s, sizeof s, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.Data1, g.Data2, g.Data3, g.Data4[0],
           g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return s;
}

TEST(ComInterfaces, UnknownAndServiceInterfacesUseTheDdkSlots) {
  EXPECT_EQ(0, SLOT(IUnknown, QueryInterface));
  EXPECT_EQ(1, SLOT(IUnknown, AddRef));
  EXPECT_EQ(2, SLOT(IUnknown, Release));
  EXPECT_EQ(0, SLOT(INonDelegatingUnknown, NonDelegatingQueryInterface));
  EXPECT_EQ(1, SLOT(INonDelegatingUnknown, NonDelegatingAddRef));
  EXPECT_EQ(2, SLOT(INonDelegatingUnknown, NonDelegatingRelease));
  EXPECT_EQ(3, SLOT(IServiceSink, RequestService));
  EXPECT_EQ(3, SLOT(IServiceGroup, RequestService));
  EXPECT_EQ(4, SLOT(IServiceGroup, AddMember));
  EXPECT_EQ(5, SLOT(IServiceGroup, RemoveMember));
  EXPECT_EQ(6, SLOT(IServiceGroup, SupportDelayedService));
  EXPECT_EQ(7, SLOT(IServiceGroup, RequestDelayedService));
  EXPECT_EQ(8, SLOT(IServiceGroup, CancelDelayedService));
  EXPECT_EQ(3, SLOT(IResourceList, NumberOfEntries));
  EXPECT_EQ(4, SLOT(IResourceList, NumberOfEntriesOfType));
  EXPECT_EQ(5, SLOT(IResourceList, FindTranslatedEntry));
  EXPECT_EQ(6, SLOT(IResourceList, FindUntranslatedEntry));
  EXPECT_EQ(7, SLOT(IResourceList, AddEntry));
  EXPECT_EQ(8, SLOT(IResourceList, AddEntryFromParent));
  EXPECT_EQ(9, SLOT(IResourceList, TranslatedList));
  EXPECT_EQ(10, SLOT(IResourceList, UntranslatedList));
  EXPECT_EQ(3, SLOT(IPowerNotify, PowerChangeNotify));
  EXPECT_EQ(3, SLOT(IAdapterPowerManagement, PowerChangeState));
  EXPECT_EQ(4, SLOT(IAdapterPowerManagement, QueryPowerChangeState));
  EXPECT_EQ(5, SLOT(IAdapterPowerManagement, QueryDeviceCapabilities));
  EXPECT_EQ(3, SLOT(IPinCount, PinCount));
}

TEST(ComInterfaces, PortMiniportStreamAndDmaChannelUseTheDdkSlots) {
  EXPECT_EQ(3, SLOT(IPortWaveCyclic, Init));
  EXPECT_EQ(4, SLOT(IPortWaveCyclic, GetDeviceProperty));
  EXPECT_EQ(5, SLOT(IPortWaveCyclic, NewRegistryKey));
  EXPECT_EQ(6, SLOT(IPortWaveCyclic, Notify));
  EXPECT_EQ(7, SLOT(IPortWaveCyclic, NewSlaveDmaChannel));
  EXPECT_EQ(8, SLOT(IPortWaveCyclic, NewMasterDmaChannel));
  EXPECT_EQ(3, SLOT(IPort, Init));

  EXPECT_EQ(3, SLOT(IMiniport, GetDescription));
  EXPECT_EQ(4, SLOT(IMiniport, DataRangeIntersection));
  EXPECT_EQ(3, SLOT(IMiniportWaveCyclic, GetDescription));
  EXPECT_EQ(4, SLOT(IMiniportWaveCyclic, DataRangeIntersection));
  EXPECT_EQ(5, SLOT(IMiniportWaveCyclic, Init));
  EXPECT_EQ(6, SLOT(IMiniportWaveCyclic, NewStream));

  EXPECT_EQ(3, SLOT(IMiniportWaveCyclicStream, SetFormat));
  EXPECT_EQ(4, SLOT(IMiniportWaveCyclicStream, SetNotificationFreq));
  EXPECT_EQ(5, SLOT(IMiniportWaveCyclicStream, SetState));
  EXPECT_EQ(6, SLOT(IMiniportWaveCyclicStream, GetPosition));
  EXPECT_EQ(7, SLOT(IMiniportWaveCyclicStream, NormalizePhysicalPosition));
  EXPECT_EQ(8, SLOT(IMiniportWaveCyclicStream, Silence));

  const char* dma[] = {"AllocateBuffer", "FreeBuffer",    "TransferCount",    "MaximumBufferSize",
                       "AllocatedBufferSize", "BufferSize", "SetBufferSize", "SystemAddress",
                       "PhysicalAddress", "GetAdapterObject", "CopyTo", "CopyFrom"};
  long slots[] = {SLOT(IDmaChannel, AllocateBuffer),  SLOT(IDmaChannel, FreeBuffer),
                  SLOT(IDmaChannel, TransferCount),   SLOT(IDmaChannel, MaximumBufferSize),
                  SLOT(IDmaChannel, AllocatedBufferSize), SLOT(IDmaChannel, BufferSize),
                  SLOT(IDmaChannel, SetBufferSize),   SLOT(IDmaChannel, SystemAddress),
                  SLOT(IDmaChannel, PhysicalAddress), SLOT(IDmaChannel, GetAdapterObject),
                  SLOT(IDmaChannel, CopyTo),          SLOT(IDmaChannel, CopyFrom)};
  for (int i = 0; i < 12; ++i) EXPECT_EQ(3 + i, slots[i]) << dma[i];
  EXPECT_EQ(15, SLOT(IDmaChannelSlave, Start));
  EXPECT_EQ(18, SLOT(IDmaChannelSlave, WaitForTC));
}

// CUnknown's own table: the three non-delegating methods, then the
// destructor (complete and deleting) -- the order the driver's objects rely
// on when the port library releases them through the outer unknown.
TEST(ComInterfaces, CUnknownPutsTheNonDelegatingMethodsFirst) {
  EXPECT_EQ(0, SLOT(CUnknown, NonDelegatingQueryInterface));
  EXPECT_EQ(1, SLOT(CUnknown, NonDelegatingAddRef));
  EXPECT_EQ(2, SLOT(CUnknown, NonDelegatingRelease));
}

TEST(ComInterfaces, IdentifiersHaveTheDdkValues) {
  struct {
    const GUID* id;
    const char* text;
  } ids[] = {
      {&IID_IUnknown, "00000000-0000-0000-C000-000000000046"},
      {&IID_IResourceList, "22C6AC60-851B-11D0-9A7F-00AA0038ACFE"},
      {&IID_IDmaChannel, "22C6AC61-851B-11D0-9A7F-00AA0038ACFE"},
      {&IID_IServiceSink, "22C6AC64-851B-11D0-9A7F-00AA0038ACFE"},
      {&IID_IServiceGroup, "22C6AC65-851B-11D0-9A7F-00AA0038ACFE"},
      {&IID_IMiniport, "B4C90A24-5791-11D0-86F9-00A0C911B544"},
      {&IID_IPort, "B4C90A25-5791-11D0-86F9-00A0C911B544"},
      {&IID_IPortWaveCyclic, "B4C90A26-5791-11D0-86F9-00A0C911B544"},
      {&IID_IMiniportWaveCyclic, "B4C90A27-5791-11D0-86F9-00A0C911B544"},
      {&IID_IMiniportWaveCyclicStream, "B4C90A28-5791-11D0-86F9-00A0C911B544"},
      {&CLSID_PortWaveCyclic, "B4C90A2A-5791-11D0-86F9-00A0C911B544"},
      {&IID_IAdapterPowerManagement, "793417D0-35FE-11D1-AD08-00A0C90AB1B0"},
      {&IID_IPowerNotify, "3DD648B8-969F-11D1-95A9-00C04FB925D3"},
      {&IID_IPinCount, "5DADB7DC-A2CB-4540-A4A8-425EE4AE9051"},
  };
  for (const auto& i : ids) EXPECT_EQ(i.text, Text(*i.id));
}

}  // namespace
