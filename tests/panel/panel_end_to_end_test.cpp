// The control panel program and a running ASIO host on one simulated
// machine: the ASIO driver installed and registered (regsvr32), the host
// holding buffers and streaming through it with the driver's settings
// watcher running, and a user working the panel. What the panel stores and
// signals must reach the driver as the settings watcher handles it: a new
// buffer size while the host holds buffers asks the host to reset once, and
// the host's new instance takes the size over. These stream in real time
// (the suite's REALTIME filter names them).
#include "tests/panel/panel_program_fixture.h"

#include <commctrl.h>

#include <string>
#include <vector>

#include "platform/kernel/registry.h"
#include "sim/clients/asio_driver_module.h"
#include "sim/clients/asio_host.h"

namespace paneltest {
namespace {

// Buffer switches to stream after a change before judging that no further
// reset follows (about half a second at the sizes used here).
constexpr uint64_t kFurtherSwitches = 40;

class PanelEndToEndTest : public PanelProgramTest {
 protected:
  void TearDown() override {
    if (host_ != nullptr) host_->Finish();
    host_.reset();
    PanelProgramTest::TearDown();
  }

  // The ASIO driver installed and registered, and a host streaming two
  // outputs at `bufferSize` frames through it.
  sim::AsioHost* StartHost(uint32_t bufferSize) {
    sim::InstallAsioDriverModule();
    EXPECT_EQ(sim::RunRegsvr32(), S_OK);
    sim::AsioHostOptions options;
    options.bufferSize = bufferSize;
    options.inputs = 0;
    options.outputs = 2;
    options.recordCapacity = size_t{1} << 15;
    host_ = std::make_unique<sim::AsioHost>(options);
    if (!host_->Start()) {
      ADD_FAILURE() << "the host did not start: " << host_->Error();
      return nullptr;
    }
    EXPECT_TRUE(host_->WaitForSwitches(10, kWaitMs));
    return host_.get();
  }

  // Every registry change so far has reached the dialog: each watch loop
  // waits on the key again and the dialog has handled what they posted.
  static void Settle(sim::PanelRun& run) {
    ASSERT_TRUE(platform::RegistryWaitForPendingWatches(run.Snapshot().dialog.watcherThreads, kWaitMs));
    ASSERT_TRUE(run.WaitIdle(kWaitMs));
  }

  static std::string Describe(const sim::AsioHost& host) {
    const sim::AsioHostCounters c = host.Counters();
    std::string text = "switches " + std::to_string(c.bufferSwitches) + ", reset requests " +
                       std::to_string(c.resetRequests) + ", resets done " + std::to_string(c.resetsDone) +
                       ", instances " + std::to_string(c.generations) + ", sizes";
    for (const sim::AsioGeneration& g : host.Generations()) text += " " + std::to_string(g.bufferSize);
    if (!host.ReopenError().empty()) text += ", reopen error: " + host.ReopenError();
    return text;
  }

  std::unique_ptr<sim::AsioHost> host_;
};

TEST_F(PanelEndToEndTest, ABufferSizeChosenInThePanelResetsTheStreamingHostOnceAndItsNewInstanceTakesItOver) {
  Plug("default");
  sim::AsioHost* host = StartHost(256);
  ASSERT_NE(host, nullptr);
  std::unique_ptr<sim::PanelRun> run = Open();
  ASSERT_NE(run, nullptr);
  Settle(*run);
  sim::PanelRunSnapshot s = run->Snapshot();
  EXPECT_EQ(s.view.Control(IDC_BUFFER_SLIDER).sliderPosition, 8);
  EXPECT_EQ(s.view.Control(IDC_BUFFER_LABEL).text, u"256 Samples");
  EXPECT_EQ(s.view.Control(IDC_DEVICE_LIST).rows.size(), 1u);
  EXPECT_EQ(StoredDword(L"streaming"), 1u);
  ASSERT_EQ(host->Counters().resetRequests, 0u) << Describe(*host);

  // Page Down on the trackbar: it moves by its page (a fifth of 2..120) and
  // the dialog stores the size at once and tells the driver.
  ASSERT_TRUE(run->PressPageDown());
  const int paged = 8 + (120 - 2) / 5;
  const LONG pagedSize = paged * 32;
  ASSERT_TRUE(host->WaitForResets(1, kWaitMs)) << Describe(*host);
  std::vector<sim::AsioGeneration> generations = host->Generations();
  ASSERT_EQ(generations.size(), 2u) << Describe(*host);
  EXPECT_EQ(generations[0].bufferSize, 256);
  EXPECT_EQ(generations[1].bufferSize, pagedSize) << "the new instance's createBuffers";
  EXPECT_TRUE(host->ReopenError().empty()) << Describe(*host);
  // The new instance streams on, and nothing asks for another reset.
  ASSERT_TRUE(host->WaitForSwitches(host->Switches() + kFurtherSwitches, kWaitMs)) << Describe(*host);
  Settle(*run);
  sim::AsioHostCounters c = host->Counters();
  EXPECT_EQ(c.resetRequests, 1u) << Describe(*host);
  EXPECT_EQ(c.resetsDone, 1u) << Describe(*host);
  EXPECT_EQ(c.generations, 2u) << Describe(*host);
  EXPECT_EQ(StoredDword(L"buffer_size"), static_cast<DWORD>(pagedSize));
  s = run->Snapshot();
  EXPECT_EQ(s.view.Control(IDC_BUFFER_SLIDER).sliderPosition, paged);
  EXPECT_EQ(s.view.Control(IDC_BUFFER_LABEL).text, u"992 Samples");

  // Dragging the thumb only changes the label: nothing stored, no reset.
  ASSERT_TRUE(run->DragSlider(16));
  ASSERT_TRUE(run->WaitIdle(kWaitMs));
  EXPECT_EQ(run->Snapshot().view.Control(IDC_BUFFER_LABEL).text, u"512 Samples");
  EXPECT_EQ(StoredDword(L"buffer_size"), static_cast<DWORD>(pagedSize));
  // Releasing it there stores 512: one more reset, and the next instance
  // takes 512.
  ASSERT_TRUE(run->ReleaseSlider(16));
  ASSERT_TRUE(host->WaitForResets(2, kWaitMs)) << Describe(*host);
  ASSERT_TRUE(host->WaitForSwitches(host->Switches() + kFurtherSwitches, kWaitMs)) << Describe(*host);
  Settle(*run);
  c = host->Counters();
  EXPECT_EQ(c.resetRequests, 2u) << Describe(*host);
  generations = host->Generations();
  ASSERT_EQ(generations.size(), 3u) << Describe(*host);
  EXPECT_EQ(generations[2].bufferSize, 512);
  EXPECT_EQ(StoredDword(L"buffer_size"), 512u);

  CloseAndWait(*run);
  host->Finish();
  c = host->Counters();
  EXPECT_EQ(c.resetRequests, 2u) << Describe(*host);
  EXPECT_EQ(c.switchesAfterStop, 0u);
  EXPECT_EQ(c.outputReadyErrors, 0u);
}

TEST_F(PanelEndToEndTest, WhileAHostStreamsChoosingAnotherDeviceOnlyHighlightsIt) {
  sim::SimulatedMachine* machine = Plug("default");
  PlugSecond();
  sim::AsioHost* host = StartHost(512);
  ASSERT_NE(host, nullptr);
  const std::u16string streamed = InstanceIdOf(machine->Pdo());
  EXPECT_EQ(StoredSelected(), streamed) << "the driver stores the device it opened";
  std::unique_ptr<sim::PanelRun> run = Open();
  ASSERT_NE(run, nullptr);
  Settle(*run);
  sim::PanelRunSnapshot s = run->Snapshot();
  ASSERT_EQ(s.view.Control(IDC_DEVICE_LIST).rows.size(), 2u);
  EXPECT_EQ(s.dialog.activeIndex, 0);
  EXPECT_EQ(s.dialog.highlightedIndex, 0);
  const std::u16string secondName = s.view.Control(IDC_DEVICE_LIST).rows[1];

  ASSERT_TRUE(run->PickRow(1));
  ASSERT_TRUE(run->WaitIdle(kWaitMs));
  s = run->Snapshot();
  EXPECT_EQ(s.dialog.highlightedIndex, 1);
  EXPECT_EQ(s.view.Control(IDC_DEVICE_LIST).selectedRow, 1);
  EXPECT_EQ(s.view.Control(IDC_SETTING_GROUP).text, secondName);
  EXPECT_EQ(s.dialog.activeIndex, 0) << "the streamed device's row stays the heavy one";
  EXPECT_EQ(StoredSelected(), streamed);
  // The host streams on undisturbed.
  ASSERT_TRUE(host->WaitForSwitches(host->Switches() + kFurtherSwitches, kWaitMs)) << Describe(*host);
  EXPECT_EQ(host->Counters().resetRequests, 0u) << Describe(*host);
  CloseAndWait(*run);
}

}  // namespace
}  // namespace paneltest
