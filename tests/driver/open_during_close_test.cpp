// An open that arrives while the previous handle's close is still stopping the transfers. On
// Windows the close request comes when the last reference to the file object goes, which can be
// after an application has already called CreateFile again; the driver refuses that open, and the
// refused open must leave the close alone.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "data_flow.h"
#include "interleave.h"
#include "io/io_manager.h"
#include "kernel/irql.h"
#include "kernel/thread_state.h"

namespace hk::test {
namespace {

using namespace win32;
using locks::InterleavePoint;

class OpenDuringClose : public DataFlowTest {
 protected:
  void SetUp() override {
    DataFlowTest::SetUp();
    Open();
  }
};

// The close has marked the port closing and is about to cancel the bulk-in transfer when an open
// comes (through the device interface, so that the driver's own check is the one that refuses it)
// and characters complete the transfer. Until the close has ended, the closing port must take
// nothing more from the bus: a transfer submitted behind the close's cancel stays with the bus
// after the close, and the next open submits the same IRP again.
TEST_F(OpenDuringClose, IsRefusedAndNothingIsSubmittedBehindTheClose) {
  auto names = io::EnabledInterfaces(kPortInterface);
  ASSERT_FALSE(names.empty());
  std::string path = Ascii(names.front());
  PDEVICE_EXTENSION ext = Ext();
  ASSERT_EQ(Device().PendingTransfers(0x81), 1u);

  struct Seen {
    std::atomic<bool> Armed{false};
    std::atomic<int> BulkInSubmissions{0};
  };
  auto seen = std::make_shared<Seen>();
  // The bus keeps its observers: this one holds its own state.
  Bus().AddObserver([seen](const usb::UrbEvent& e) {
    if (seen->Armed && !e.Completion && e.Type == usb::TransferType::Bulk && e.Endpoint == 0x81)
      ++seen->BulkInSubmissions;
  });
  std::atomic<bool> fired{false};
  HANDLE refused = nullptr;
  NTSTATUS refusedStatus = STATUS_SUCCESS;
  InterleaveHook hook([&](const void* object, InterleavePoint point) {
    if (point != InterleavePoint::BeforeAcquire || object != &ext->BulkInLock ||
        CurrentThread().InDpc || !__atomic_load_n(&ext->PortClosed, __ATOMIC_RELAXED) ||
        InThread(ext->ReaderThreadObject) || InThread(ext->WriterThreadObject) || fired.exchange(true))
      return;
    seen->Armed = true;
    std::thread([&] {
      refused = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
      refusedStatus = GetLastNtStatus();
    }).join();
    Device().ReceiveFromLine(Bytes("late"));
    // Long enough for the completion and a resubmission it would wake; the close goes on after.
    WaitFor([&] { return seen->BulkInSubmissions.load() > 0; }, std::chrono::milliseconds(300));
  });
  Close();
  ASSERT_TRUE(fired) << "the close never cancelled the bulk-in transfer";
  EXPECT_EQ(refused, INVALID_HANDLE_VALUE) << "an open succeeded while the port was closing";
  if (refused != INVALID_HANDLE_VALUE && refused != nullptr) CloseHandle(refused);
  EXPECT_EQ(refusedStatus, STATUS_ACCESS_DENIED);
  EXPECT_EQ(seen->BulkInSubmissions.load(), 0) << "a bulk-in transfer was submitted after the close began";
  EXPECT_EQ(Device().PendingTransfers(0x81), 0u) << "the closed port left a transfer with the bus";
  EXPECT_FALSE(Ext()->DeviceOpen);

  Open();
  SetTimeouts(MAXULONG, 0, 0);
  Receive(Bytes("ok"));
  auto read = StartRead(10);
  ASSERT_TRUE(read->Done());
  EXPECT_EQ(read->Text(), "ok") << "only what came after the reopen";
}

}  // namespace
}  // namespace hk::test
