// Arrivals inside the short windows of the driver's own paths, placed there exactly: characters
// that come while a read is on its way to the slot, a purge while a read takes characters, a
// clean-up while a read is on its way, a drained transmit buffer while a write is being
// accepted, and a close while a bulk-in transfer is on its way to the bus. On Windows
// these are the DPCs that run the moment a spin lock is released.
#include <atomic>
#include <functional>
#include <thread>

#include "data_flow.h"
#include "interleave.h"
#include "io/io_manager.h"
#include "kernel/irql.h"
#include "kernel_wait.h"
#include "receive/receive.h"
#include "transmit/transmit.h"

namespace hk::test {
namespace {

using namespace win32;

// Runs `action` once, the first time a thread comes back below DISPATCH_LEVEL with `when`
// true; the hook goes with the object.
class WindowHook {
 public:
  WindowHook(std::function<bool()> when, std::function<void()> action) : state_(std::make_shared<State>()) {
    auto state = state_;
    locks::SetBelowDispatchHook([state, when = std::move(when), action = std::move(action)] {
      if (state->Fired || !when() || state->Fired.exchange(true)) return;
      action();
    });
  }
  ~WindowHook() { locks::SetBelowDispatchHook(nullptr); }
  bool Fired() const { return state_->Fired; }

 private:
  struct State {
    std::atomic<bool> Fired{false};
  };
  std::shared_ptr<State> state_;
};

class DispatchWindow : public DataFlowTest {
 protected:
  void SetUp() override {
    DataFlowTest::SetUp();
    Open();
  }
};

TEST_F(DispatchWindow, CharactersArrivingWhileAReadGoesToTheSlotAreDelivered) {
  SetTimeouts(0, 0, 0);  // no time-out: only characters end the read
  PDEVICE_EXTENSION ext = Ext();
  auto self = std::this_thread::get_id();
  // After the read found the buffer empty and before it is in the slot, the reader thread
  // takes a packet and finds no read to fill.
  WindowHook hook(
      [ext, self] {
        return std::this_thread::get_id() == self && ext->ReadOutstanding && ext->ReadState == READ_WAITING &&
               ext->CurrentReadIrp == nullptr;
      },
      [this] { Receive(Bytes("hi")); });
  auto read = StartRead(2);
  machine().Settle();
  ASSERT_TRUE(hook.Fired());
  ASSERT_TRUE(read->Done()) << "the read missed the characters that came while it was queued";
  EXPECT_EQ(read->Status(), STATUS_SUCCESS);
  EXPECT_EQ(read->Text(), "hi");
}

TEST_F(DispatchWindow, APurgeWhileAReadTakesCharactersComesFirstAndWhatArrivesAfterItStays) {
  SetTimeouts(MAXULONG, 0, 0);  // a read returns at once with what is buffered
  Receive(Bytes("old"));
  PDEVICE_EXTENSION ext = Ext();
  auto self = std::this_thread::get_id();
  int outstanding = 0;
  // The read has claimed its turn (first window), taken its time-outs (second) and measured the
  // buffer (third) when another thread purges it and new characters arrive, before the read
  // removes what it scanned.
  WindowHook hook(
      [ext, self, &outstanding] {
        return std::this_thread::get_id() == self && ext->ReadOutstanding && ++outstanding == 3;
      },
      [this] {
        std::thread([this] { EXPECT_EQ(Purge(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS); }).join();
        Receive(Bytes("new"));
      });
  auto read = StartRead(10);
  ASSERT_TRUE(hook.Fired());
  ASSERT_TRUE(read->Done());
  EXPECT_EQ(read->Status(), STATUS_SUCCESS);
  EXPECT_EQ(read->Bytes(), 0u) << "the purge came first";
  auto next = StartRead(10);
  ASSERT_TRUE(next->Done());
  EXPECT_EQ(next->Text(), "new") << "characters that arrived after the purge are kept, once";
}

TEST_F(DispatchWindow, AReadOnItsWayWhenTheHandleIsCleanedUpIsCancelledNotLeftPending) {
  SetTimeouts(0, 0, 0);
  PDEVICE_EXTENSION ext = Ext();
  PDEVICE_OBJECT fdo = Fdo();
  auto self = std::this_thread::get_id();
  // The read has claimed its turn but is not yet in the slot when another thread's clean-up
  // runs and finds nothing to cancel.
  WindowHook hook([ext, self] { return std::this_thread::get_id() == self && ext->ReadOutstanding; },
                  [fdo] {
                    std::thread([fdo] {
                      PDEVICE_OBJECT top = io::TopOfStack(fdo);
                      PIRP irp = io::AllocateSystemIrp(top->StackSize, nullptr);
                      IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_CLEANUP;
                      EXPECT_EQ(io::SendAndWait(top, irp), STATUS_SUCCESS);
                    }).join();
                  });
  auto read = StartRead(4);
  machine().Settle();
  ASSERT_TRUE(hook.Fired());
  ASSERT_TRUE(read->Done()) << "a read that came in before the clean-up is left pending";
  EXPECT_EQ(read->Status(), STATUS_CANCELLED);
}

TEST_F(DispatchWindow, AWriteAcceptedAsTheTransmitBufferDrainsIsSentBeforeItCompletes) {
  PDEVICE_EXTENSION ext = Ext();
  Device().TakeTransmitted();
  auto self = std::this_thread::get_id();
  // The write is claimed and cancelable but its data not yet queued when another thread's line
  // change goes out and the writer, finding the buffer empty, finishes.
  WindowHook hook(
      [ext, self] {
        PIRP write = ext->CurrentWriteIrp;
        return std::this_thread::get_id() == self && write != nullptr && write->CancelRoutine != nullptr &&
               !ext->TxStagePending && ext->TxCount == 0;
      },
      [this, ext] {
        ULONG code = (ext->ModemControl & MODEM_CONTROL_DTR) ? IOCTL_SERIAL_CLR_DTR : IOCTL_SERIAL_SET_DTR;
        std::thread([this, code] { EXPECT_EQ(SetLine(code), STATUS_SUCCESS); }).join();
        machine().Settle();
      });
  auto write = StartWrite(Bytes("hello"));
  machine().Settle();
  ASSERT_TRUE(hook.Fired());
  ASSERT_TRUE(write->Done());
  EXPECT_EQ(write->Status(), STATUS_SUCCESS);
  EXPECT_EQ(write->Bytes(), 5u);
  EXPECT_EQ(Device().TakeTransmitted(), Bytes("hello")) << "a write reported as sent must have been sent";
  EXPECT_EQ(AdapterFaults(), "");
}

TEST_F(DispatchWindow, CloseWaitsForABulkInTransferOnItsWayToTheBusAndTheReopenedPortReads) {
  PDEVICE_EXTENSION ext = Ext();
  HANDLE handle = Handle();
  std::atomic<bool> closed{false};
  std::atomic<bool> closedTooSoon{false};
  std::atomic<ThreadInfo*> closerThread{nullptr};
  std::thread closer;
  // The reader thread has submitted its next transfer but not yet handed it to the bus when
  // the application closes the port.
  WindowHook hook(
      [ext] {
        return (PVOID)KeGetCurrentThread() == ext->ReaderThreadObject && ext->BulkInState == BULK_SUBMITTED &&
               ext->BulkInIrp->CancelRoutine == nullptr;
      },
      [&] {
        closer = std::thread([&] {
          closerThread = &CurrentThread();
          CloseHandle(handle);
          closed = true;
        });
        WaitFor([ext] { return ReadBooleanNoFence(&ext->PortClosed) != FALSE; }, std::chrono::seconds(5));
        // Close must be held waiting for the transfer, not merely pass through some other wait.
        UntilBlockedInKernelWait(closerThread, [&] { return closed.load(); }, &ext->BulkInIdleEvent);
        closedTooSoon = closed.load();
      });
  Device().ReceiveFromLine(Bytes("x"));
  machine().Settle();
  ASSERT_TRUE(hook.Fired());
  closer.join();
  machine().Settle();
  EXPECT_FALSE(closedTooSoon) << "close ended while the bus still owned the transfer";
  EXPECT_EQ(ext->BulkInState, BULK_IDLE);
  EXPECT_EQ(Device().PendingTransfers(0x81), 0u);

  Open();
  SetTimeouts(MAXULONG, 0, 0);
  Receive(Bytes("ok"));
  auto read = StartRead(2);
  ASSERT_TRUE(read->Done());
  EXPECT_EQ(read->Text(), "ok");
}

}  // namespace
}  // namespace hk::test
