// The driver DLL's COM server: DllMain, DllGetClassObject, the class
// factory, the single driver object per process, the reference counting of
// the COM base, aggregation, and DllCanUnloadNow. Nothing here calls the
// driver object's IASIO methods.
#include "tests/kslib/kslib_fixture.h"

#include "asio/com/class_factory.h"
#include "asio/com/dll_entry.h"
#include "asio/driver/kel_asio_driver.h"
#include "platform/win32/debug_output.h"
#include "platform/win32/registry_host.h"

namespace {

// {00000000-1111-2222-3333-444455556666}: no class of this DLL.
const GUID kOtherId = {0x00000000, 0x1111, 0x2222, {0x33, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66}};

class ComServerTest : public kslibtest::ClientTest {
 protected:
  void SetUp() override {
    platform::win32::ResetRegistry();
    kslibtest::ClientTest::SetUp();
    baseObjects_ = CBaseObject::ObjectCount();
  }
  void TearDown() override {
    EXPECT_EQ(CKelAsioDriver::Instance(), nullptr) << "a driver object was left alive";
    EXPECT_EQ(CBaseObject::ObjectCount(), baseObjects_) << "objects were left alive";
    EXPECT_EQ(CClassFactory::LockCount(), 0);
    kslibtest::ClientTest::TearDown();
    platform::win32::ResetRegistry();
  }

  // The driver's class factory as a host gets it.
  IClassFactory* Factory() {
    void* factory = nullptr;
    EXPECT_EQ(DllGetClassObject(CLSID_KelAsioDriver, IID_IClassFactory, &factory), S_OK);
    return static_cast<IClassFactory*>(factory);
  }

  LONG baseObjects_ = 0;
};

TEST_F(ComServerTest, ClassObjectOnlyForTheDriverClassAndTheFactoryInterfaces) {
  void* out = &out;
  EXPECT_EQ(DllGetClassObject(kOtherId, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
  out = &out;
  EXPECT_EQ(DllGetClassObject(CLSID_KelAsioDriver, CLSID_KelAsioDriver, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  out = &out;
  EXPECT_EQ(DllGetClassObject(kOtherId, kOtherId, &out), E_NOINTERFACE);  // the interface is checked first
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(DllGetClassObject(CLSID_KelAsioDriver, IID_IClassFactory, nullptr), E_POINTER);

  void* unknown = nullptr;
  ASSERT_EQ(DllGetClassObject(CLSID_KelAsioDriver, IID_IUnknown, &unknown), S_OK);
  ASSERT_NE(unknown, nullptr);
  IClassFactory* factory = Factory();
  ASSERT_NE(factory, nullptr);
  // Each call makes a factory of its own holding one reference.
  EXPECT_NE(static_cast<void*>(factory), unknown);
  EXPECT_EQ(factory->Release(), 0u);
  EXPECT_EQ(static_cast<IUnknown*>(unknown)->Release(), 0u);
}

TEST_F(ComServerTest, FactoryAnswersItsInterfacesAndCountsItsReferences) {
  IClassFactory* factory = Factory();
  ASSERT_NE(factory, nullptr);
  void* out = nullptr;
  ASSERT_EQ(factory->QueryInterface(IID_IUnknown, &out), S_OK);
  EXPECT_EQ(out, static_cast<void*>(factory));
  ASSERT_EQ(factory->QueryInterface(IID_IClassFactory, &out), S_OK);
  EXPECT_EQ(out, static_cast<void*>(factory));
  out = &out;
  EXPECT_EQ(factory->QueryInterface(CLSID_KelAsioDriver, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(factory->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

  EXPECT_EQ(factory->AddRef(), 4u);
  EXPECT_EQ(factory->Release(), 3u);
  EXPECT_EQ(factory->Release(), 2u);
  EXPECT_EQ(factory->Release(), 1u);
  EXPECT_EQ(factory->Release(), 0u);  // deleted (a leak or double free shows under ASan)
}

TEST_F(ComServerTest, CreateInstanceRefusesBadArgumentsWithoutLeavingAnObject) {
  IClassFactory* factory = Factory();
  ASSERT_NE(factory, nullptr);
  EXPECT_EQ(factory->CreateInstance(nullptr, CLSID_KelAsioDriver, nullptr), E_POINTER);

  // An aggregator must ask for IUnknown.
  IUnknown* outer = factory;  // never called on this path
  void* out = &out;
  EXPECT_EQ(factory->CreateInstance(outer, CLSID_KelAsioDriver, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(CKelAsioDriver::Instance(), nullptr);

  // An interface the driver lacks: the object made for the query is gone
  // again, and with it the process's instance.
  out = &out;
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(CKelAsioDriver::Instance(), nullptr);
  EXPECT_EQ(CBaseObject::ObjectCount(), baseObjects_);

  void* unknown = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &unknown), S_OK);
  EXPECT_EQ(static_cast<IUnknown*>(unknown)->Release(), 0u);
  factory->Release();
}

TEST_F(ComServerTest, OneDriverObjectPerProcessCountedAsALiveObject) {
  IClassFactory* factory = Factory();
  ASSERT_NE(factory, nullptr);
  void* first = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &first), S_OK);
  ASSERT_NE(CKelAsioDriver::Instance(), nullptr);
  EXPECT_EQ(CBaseObject::ObjectCount(), baseObjects_ + 1);

  // A second one, through this factory or a new one, is refused.
  void* second = &second;
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &second), E_OUTOFMEMORY);
  EXPECT_EQ(second, nullptr);
  IClassFactory* another = Factory();
  ASSERT_NE(another, nullptr);
  second = &second;
  EXPECT_EQ(another->CreateInstance(nullptr, IID_IUnknown, &second), E_OUTOFMEMORY);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(CBaseObject::ObjectCount(), baseObjects_ + 1);

  // Released, the slot is free for a new one.
  IUnknown* unknown = static_cast<IUnknown*>(first);
  EXPECT_EQ(unknown->AddRef(), 2u);
  EXPECT_EQ(unknown->Release(), 1u);
  EXPECT_EQ(unknown->Release(), 0u);
  EXPECT_EQ(CKelAsioDriver::Instance(), nullptr);
  EXPECT_EQ(CBaseObject::ObjectCount(), baseObjects_);
  ASSERT_EQ(another->CreateInstance(nullptr, IID_IUnknown, &second), S_OK);
  EXPECT_NE(CKelAsioDriver::Instance(), nullptr);
  EXPECT_EQ(static_cast<IUnknown*>(second)->Release(), 0u);
  another->Release();
  factory->Release();
}

TEST_F(ComServerTest, DriverAnswersItsClassIdWithIasioAndKeepsItsIdentity) {
  IClassFactory* factory = Factory();
  ASSERT_NE(factory, nullptr);
  void* asio = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, CLSID_KelAsioDriver, &asio), S_OK);
  factory->Release();
  CKelAsioDriver* driver = CKelAsioDriver::Instance();
  ASSERT_NE(driver, nullptr);
  IASIO* iasio = static_cast<IASIO*>(asio);
  EXPECT_EQ(iasio, static_cast<IASIO*>(driver));

  void* unknown = nullptr;
  ASSERT_EQ(iasio->QueryInterface(IID_IUnknown, &unknown), S_OK);
  EXPECT_EQ(unknown, static_cast<void*>(static_cast<INonDelegatingUnknown*>(driver)));
  void* again = nullptr;
  ASSERT_EQ(static_cast<IUnknown*>(unknown)->QueryInterface(CLSID_KelAsioDriver, &again), S_OK);
  EXPECT_EQ(again, asio);
  void* other = &other;
  EXPECT_EQ(iasio->QueryInterface(IID_IClassFactory, &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(iasio->QueryInterface(CLSID_KelAsioDriver, nullptr), E_POINTER);

  // Three references now: the creation's and the two queries'.
  EXPECT_EQ(static_cast<IUnknown*>(unknown)->Release(), 2u);
  EXPECT_EQ(iasio->Release(), 1u);
  EXPECT_EQ(CBaseObject::ObjectCount(), baseObjects_ + 1);
  EXPECT_EQ(iasio->Release(), 0u);
  EXPECT_EQ(CKelAsioDriver::Instance(), nullptr);
}

// An aggregating object: counts the calls the inner object forwards.
struct OuterUnknown : IUnknown {
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    ++queries;
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }
  int queries = 0;
  int refs = 1;
};

TEST_F(ComServerTest, AggregatedDriverForwardsToTheOuterAndLivesByItsInnerUnknown) {
  OuterUnknown outer;
  IClassFactory* factory = Factory();
  ASSERT_NE(factory, nullptr);
  void* inner = nullptr;
  ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, &inner), S_OK);
  factory->Release();
  CKelAsioDriver* driver = CKelAsioDriver::Instance();
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(driver->GetOwner(), &outer);

  // The object's own IUnknown calls go to the outer object.
  EXPECT_EQ(driver->AddRef(), 2u);
  EXPECT_EQ(driver->Release(), 1u);
  void* out = nullptr;
  EXPECT_EQ(driver->QueryInterface(IID_IUnknown, &out), E_NOINTERFACE);
  EXPECT_EQ(outer.queries, 1);
  EXPECT_EQ(outer.refs, 1);

  // The inner unknown does not delegate and holds the object's life.
  IUnknown* innerUnknown = static_cast<IUnknown*>(inner);
  ASSERT_EQ(innerUnknown->QueryInterface(IID_IUnknown, &out), S_OK);
  EXPECT_EQ(out, inner);
  EXPECT_EQ(innerUnknown->Release(), 1u);
  EXPECT_EQ(outer.queries, 1);
  EXPECT_EQ(innerUnknown->Release(), 0u);
  EXPECT_EQ(CKelAsioDriver::Instance(), nullptr);
}

// An object of the COM base whose destructor takes and drops a reference of
// its own, as a destructor calling out to code that AddRefs/Releases may.
struct ReentrantObject : CUnknown {
  explicit ReentrantObject(IUnknown* outer) : CUnknown(outer) {}
  ~ReentrantObject() override {
    NonDelegatingAddRef();
    releasedInDestructor = NonDelegatingRelease();
    ++destroyed;
  }
  static ULONG releasedInDestructor;
  static int destroyed;
};
ULONG ReentrantObject::releasedInDestructor = 0;
int ReentrantObject::destroyed = 0;

HRESULT g_createResult = S_OK;
bool g_createNothing = false;

CUnknown* CreateReentrant(IUnknown* outer, HRESULT* result) {
  if (g_createNothing) return nullptr;
  *result = g_createResult;
  return new ReentrantObject(outer);
}

TEST_F(ComServerTest, BaseCountsAndDeletesOnceAndFactoryHandlesCreationFailures) {
  const ClassTableRow row = {L"Reentrant", &kOtherId, &CreateReentrant, nullptr};
  ReentrantObject::destroyed = 0;
  g_createNothing = false;
  g_createResult = S_OK;

  // Created and released: one destruction; the release from inside the
  // destructor finds the count at 1 and deletes nothing.
  CClassFactory* factory = new CClassFactory(&row);
  factory->AddRef();
  void* unknown = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &unknown), S_OK);
  EXPECT_EQ(CBaseObject::ObjectCount(), baseObjects_ + 1);
  EXPECT_EQ(static_cast<IUnknown*>(unknown)->AddRef(), 2u);
  EXPECT_EQ(static_cast<IUnknown*>(unknown)->Release(), 1u);
  EXPECT_EQ(static_cast<IUnknown*>(unknown)->Release(), 0u);
  EXPECT_EQ(ReentrantObject::destroyed, 1);
  EXPECT_EQ(ReentrantObject::releasedInDestructor, 1u);
  EXPECT_EQ(CBaseObject::ObjectCount(), baseObjects_);

  // The creation function reports a failure: the object is deleted and the
  // failure returned.
  g_createResult = E_ACCESSDENIED;
  void* out = &out;
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &out), E_ACCESSDENIED);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(ReentrantObject::destroyed, 2);
  EXPECT_EQ(CBaseObject::ObjectCount(), baseObjects_);

  // No object at all.
  g_createNothing = true;
  out = &out;
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &out), E_OUTOFMEMORY);
  EXPECT_EQ(out, nullptr);
  g_createNothing = false;
  g_createResult = S_OK;
  EXPECT_EQ(factory->Release(), 0u);
}

TEST_F(ComServerTest, CanUnloadOnlyWithoutLocksAndLiveObjects) {
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
  IClassFactory* factory = Factory();
  ASSERT_NE(factory, nullptr);
  // A factory alone does not keep the DLL; a lock does.
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_OK);

  // An unlock too many does not make the next lock count as none.
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);

  void* unknown = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &unknown), S_OK);
  factory->Release();
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  static_cast<IUnknown*>(unknown)->Release();
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST_F(ComServerTest, DllMainAnnouncesAttachAndDetachAndRecordsTheModule) {
  platform::win32::SetWindowsVersion(10, 0, 19045);
  platform::win32::DebugOutputCapture capture(process_);
  HMODULE handle = platform::win32::RegisterModule(
      "vm_usbaudio_asio.dll", {}, "C:\\Program Files\\Velmora\\vm_usbaudio_asio.dll", &DllMain);
  ASSERT_EQ(LoadLibraryW(L"vm_usbaudio_asio.dll"), handle);
  EXPECT_EQ(capture.Text(), "DLL_PROCESS_ATTACH\n\n");
  EXPECT_EQ(AsioModuleHandle(), handle);
  EXPECT_EQ(AsioPlatformId(), static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
  EXPECT_TRUE(platform::win32::ThreadLibraryCallsDisabled("vm_usbaudio_asio.dll"));

  ASSERT_EQ(LoadLibraryW(L"vm_usbaudio_asio.dll"), handle);
  EXPECT_TRUE(FreeLibrary(handle));
  EXPECT_EQ(capture.Count(), 1u);
  EXPECT_TRUE(FreeLibrary(handle));
  EXPECT_EQ(capture.Text(), "DLL_PROCESS_ATTACH\n\nDLL_PROCESS_DETACH\n\n");
  EXPECT_EQ(DllMain(handle, DLL_THREAD_ATTACH, nullptr), TRUE);
  EXPECT_EQ(capture.Count(), 2u);
}

}  // namespace
