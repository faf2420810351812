// The reader thread and its one bulk-in transfer: which of its wake-ups it serves first, one
// transfer at a time, failed and cancelled transfers reported as a break with reading stopped,
// and transfers that finish after the port was closed. Races with close are lined up by
// holding the host controller's thread or the closing thread at a chosen URB.
#include <atomic>
#include <thread>

#include "kernel/dispatcher.h"
#include "kernel/thread_state.h"
#include "kernel/threads.h"
#include "receive/receive.h"
#include "rx_helpers.h"
#include "serial_port_helpers.h"
#include "urb_log.h"
#include "usb/bus.h"

namespace hk::test {
namespace {

class ReaderThread : public SerialPortTest {
 protected:
  void SetUp() override {
    SerialPortTest::SetUp();
    Open();
  }
  void Inject(std::vector<UCHAR> packet) {
    Device().InjectBulkIn(std::move(packet));
    machine().Settle();
  }
  std::shared_ptr<UrbLog> Log() { return UrbLog::Attach(usb::ControllerOf(Node())); }
};

bool Completes(const usb::UrbEvent& e, UCHAR endpoint) { return IsBulk(e, endpoint) && e.Completion; }
bool Submits(const usb::UrbEvent& e, UCHAR endpoint) { return IsBulk(e, endpoint) && !e.Completion; }

TEST_F(ReaderThread, NewDataIsServedBeforeANewRead) {
  PDEVICE_OBJECT fdo = Fdo(Node());
  Inject(CharUnits("AB"));

  // With the thread away, a packet arrives and then a read that it cannot fill yet: both of
  // the thread's wake-ups are signalled when it comes back.
  ASSERT_EQ(StopReaderThread(fdo), STATUS_SUCCESS);
  EXPECT_EQ(StopReaderThread(fdo), STATUS_SUCCESS) << "stopping a stopped thread is a no-op";
  Inject(CharUnits("C"));
  EXPECT_EQ(Device().PendingTransfers(0x81), 0u);
  auto read = StartRead(5);
  ASSERT_FALSE(read->Done());
  ASSERT_EQ(KeReadStateEvent(&Ext()->BulkInEvent), 1);
  ASSERT_EQ(KeReadStateEvent(&Ext()->ReadRequestEvent), 1);

  // The next transfer is submitted by the data service; the read must still be waiting for
  // its turn at that moment.
  auto log = Log();
  std::atomic<int> readRequestAtSubmission{-1};
  log->ProbeNext([](const usb::UrbEvent& e) { return Submits(e, 0x81); },
                 [&](const usb::UrbEvent&) { readRequestAtSubmission = KeReadStateEvent(&Ext()->ReadRequestEvent); });
  size_t running = threads::Running().size();
  ASSERT_EQ(StartReaderThread(fdo), STATUS_SUCCESS);
  EXPECT_EQ(StartReaderThread(fdo), STATUS_UNSUCCESSFUL) << "one reader thread per device";
  EXPECT_EQ(threads::Running().size(), running + 1);
  machine().Settle();
  EXPECT_EQ(threads::Priorities().back(), LOW_REALTIME_PRIORITY);

  EXPECT_EQ(readRequestAtSubmission, 1) << "the new read was served before the new data";
  EXPECT_EQ(KeReadStateEvent(&Ext()->ReadRequestEvent), 0) << "and then the read";
  EXPECT_FALSE(read->Done());
  Inject(CharUnits("DE"));
  ASSERT_TRUE(read->Done());
  EXPECT_EQ(std::string(read->Buffer.begin(), read->Buffer.end()), "ABCDE");
}

TEST_F(ReaderThread, OnlyOneBulkInTransferIsEverInFlight) {
  ASSERT_EQ(Device().PendingTransfers(0x81), 1u);
  EXPECT_EQ(SubmitBulkIn(Ext()), STATUS_DEVICE_BUSY);
  machine().Settle();
  EXPECT_EQ(Device().PendingTransfers(0x81), 1u);
  Inject(CharUnits("k"));
  EXPECT_EQ(Device().PendingTransfers(0x81), 1u);
  EXPECT_EQ(ReadNow(1), "k");
}

TEST_F(ReaderThread, FailedTransferIsABreakAndStopsReadingUntilRestarted) {
  ASSERT_EQ(SetWaitMask(SERIAL_EV_BREAK), STATUS_SUCCESS);
  Device().FailNext(0x81, USBD_STATUS_STALL_PID);
  machine().Settle();
  auto wait = StartWait();
  ASSERT_TRUE(wait->Done());
  EXPECT_EQ(WaitResult(*wait), (ULONG)SERIAL_EV_BREAK);
  EXPECT_EQ(CommStatus().Errors, (ULONG)SERIAL_ERROR_BREAK);
  EXPECT_EQ(Device().PendingTransfers(0x81), 0u) << "a failed transfer is not retried";

  Inject(CharUnits("late"));
  EXPECT_EQ(CommStatus().AmountInInQueue, 0u) << "nothing is read while reading is stopped";

  // Clearing the receive buffer starts reading again.
  ASSERT_EQ(Purge(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
  machine().Settle();
  EXPECT_EQ(ReadNow(4), "late");
  EXPECT_EQ(Device().PendingTransfers(0x81), 1u);
}

TEST_F(ReaderThread, AReadThatMustWaitStartsReadingAgainAfterAFailedTransfer) {
  Device().FailNext(0x81, USBD_STATUS_STALL_PID);
  machine().Settle();
  ASSERT_EQ(Device().PendingTransfers(0x81), 0u);
  SetTimeouts(0, 0, 0);
  auto read = StartRead(4);
  machine().Settle();
  EXPECT_EQ(Device().PendingTransfers(0x81), 1u);
  Inject(CharUnits("late"));
  ASSERT_TRUE(read->Done()) << "the read waits for data that is never read from the adapter";
  EXPECT_EQ(read->Text(), "late");
}

// A read or a wait already pending when the transfer fails cannot start reading again itself:
// reading is tried again a second later, and once more after each failure, never at once.
TEST_F(ReaderThread, ReadingIsTriedAgainASecondAfterAFailedTransferForWhatIsAlreadyPending) {
  ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
  auto wait = StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
  machine().Settle();
  ASSERT_FALSE(wait->Done());

  Device().FailNext(0x81, USBD_STATUS_STALL_PID);
  machine().Settle();
  machine().AdvanceMs(990);
  EXPECT_EQ(Device().PendingTransfers(0x81), 0u) << "not at once";
  Device().FailNext(0x81, USBD_STATUS_STALL_PID);
  machine().AdvanceMs(20);
  EXPECT_EQ(Device().PendingTransfers(0x81), 0u) << "the retry failed too";
  EXPECT_EQ(CommStatus().Errors, (ULONG)SERIAL_ERROR_BREAK);
  machine().AdvanceMs(1000);
  EXPECT_EQ(Device().PendingTransfers(0x81), 1u);
  Inject(CharUnits("late"));
  ASSERT_TRUE(wait->Done());
  EXPECT_EQ(WaitResult(*wait), (ULONG)SERIAL_EV_RXCHAR);
  EXPECT_EQ(ReadNow(4), "late");

  // The same for a read that was pending when the transfer failed.
  SetTimeouts(0, 0, 0);
  auto read = StartRead(4);
  machine().Settle();
  Device().FailNext(0x81, USBD_STATUS_STALL_PID);
  machine().Settle();
  machine().AdvanceMs(1010);
  Inject(CharUnits("more"));
  ASSERT_TRUE(read->Done());
  EXPECT_EQ(read->Text(), "more");
}

TEST_F(ReaderThread, AWaitAlreadyPendingLearnsOfTheBreakAtOnce) {
  // Reading stops after a failed transfer, so no later data would carry the event.
  ASSERT_EQ(SetWaitMask(SERIAL_EV_BREAK), STATUS_SUCCESS);
  auto wait = StartWait();
  ASSERT_FALSE(wait->Done());
  Device().FailNext(0x81, USBD_STATUS_STALL_PID);
  machine().Settle();
  ASSERT_TRUE(wait->Done());
  EXPECT_EQ(WaitResult(*wait), (ULONG)SERIAL_EV_BREAK);
}

TEST_F(ReaderThread, CancelledTransferIsABreakAndReadingResumesWhenRemovalIsCancelled) {
  ASSERT_EQ(pnp::SendPnp(Node(), IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
  machine().Settle();
  EXPECT_EQ(Device().PendingTransfers(0x81), 0u);
  EXPECT_TRUE(Ext()->EventsSeen & SERIAL_EV_BREAK);
  EXPECT_EQ(CommStatus().Errors, (ULONG)SERIAL_ERROR_BREAK);

  ASSERT_EQ(pnp::SendPnp(Node(), IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
  machine().Settle();
  EXPECT_EQ(Device().PendingTransfers(0x81), 1u);
  Inject(CharUnits("ok"));
  EXPECT_EQ(ReadNow(2), "ok");
}

TEST_F(ReaderThread, PacketThatCompletesAfterCloseLeavesNoTrace) {
  ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_CTS | SERIAL_EV_RLSD), STATUS_SUCCESS);
  auto log = Log();
  // The packet is on its way up when close begins: the host controller holds its completion.
  log->HoldNext([](const usb::UrbEvent& e) { return Completes(e, 0x81); });
  Device().InjectBulkIn({0x29, 0x5A});
  ASSERT_TRUE(log->WaitHeld());

  // Close cannot cancel a transfer that is already completing: it waits for its completion,
  // which finds the port closed.
  HANDLE handle = Handle();
  std::atomic<bool> closed{false};
  std::thread closer([handle, &closed] {
    win32::CloseHandle(handle);
    closed = true;
  });
  volatile BOOLEAN* closing = &Ext()->PortClosed;
  for (int i = 0; i < 5000 && !ReadBooleanNoFence(closing); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(ReadBooleanNoFence(closing)) << "close did not begin";
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(closed) << "close went on while the transfer was still the bus's";
  log->Release();
  closer.join();
  machine().Settle();

  EXPECT_EQ(Ext()->RxCount, 0u);
  EXPECT_EQ(Ext()->ModemStatus, 0);
  EXPECT_EQ(Ext()->EventsSeen, 0u);
  EXPECT_EQ(Ext()->PerfStats.ReceivedCount, 0u);
  EXPECT_FALSE(Ext()->BulkInActive);
  EXPECT_EQ(Device().PendingTransfers(0x81), 0u);

  Open();
  EXPECT_EQ(ModemStatusBits(), 0u);
  SetTimeouts(MAXULONG, 0, 0);
  auto read = StartRead(4);
  ASSERT_TRUE(read->Done());
  EXPECT_EQ(read->Bytes(), 0u);
}

// True once `thread` is blocked in a kernel wait.
bool WaitsInKernel(ThreadInfo* thread) {
  std::lock_guard<std::mutex> guard(dispatcher::Lock());
  return thread->Waiting;
}

TEST_F(ReaderThread, CloseWaitsForTheCancelledTransferEvenAfterAnEarlierFailure) {
  // A failed transfer ends with nobody waiting for it to go idle.
  Device().FailNext(0x81, USBD_STATUS_STALL_PID);
  machine().Settle();
  ASSERT_EQ(Device().PendingTransfers(0x81), 0u);
  ASSERT_EQ(Purge(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
  machine().Settle();
  ASSERT_EQ(Device().PendingTransfers(0x81), 1u);

  // Close cancels the new transfer; its cancellation is held on its way back.
  auto log = Log();
  log->HoldNext([](const usb::UrbEvent& e) { return Completes(e, 0x81) && e.Status == USBD_STATUS_CANCELED; });
  std::atomic<bool> closeRequestSent{false};
  log->ProbeNext([](const usb::UrbEvent& e) { return IsVendorRequest(e, 2) && !e.Completion; },
                 [&](const usb::UrbEvent&) { closeRequestSent = true; });
  std::atomic<ThreadInfo*> closerThread{nullptr};
  HANDLE handle = Handle();
  std::thread closer([&closerThread, handle] {
    closerThread = &CurrentThread();
    win32::CloseHandle(handle);
  });
  ASSERT_TRUE(log->WaitHeld());
  auto start = std::chrono::steady_clock::now();
  while (!closerThread || !WaitsInKernel(closerThread)) {
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(20)) break;
    std::this_thread::yield();
  }
  EXPECT_FALSE(closeRequestSent) << "close went on while its bulk-in transfer was still being cancelled";
  log->Release();
  closer.join();
  machine().Settle();
  EXPECT_TRUE(closeRequestSent);
  EXPECT_EQ(Ext()->BulkInState, BULK_IDLE);
}

}  // namespace
}  // namespace hk::test
