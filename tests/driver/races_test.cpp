// Races between the driver's own contexts, each window held open at the exact point where
// another processor could step in: a transfer coming back while the writer or the reader is
// woken, a stale wake-up of the reader with the buffer full, a close while a transfer is
// claimed but not yet submitted, an event taken while the event DPC is on its way to its lock,
// and an open that waits for the adapter while a query-stop arrives.
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "data_flow.h"
#include "interleave.h"
#include "kernel/clock.h"
#include "kernel/irql.h"
#include "kernel/thread_state.h"
#include "pnp/pnp_manager.h"
#include "receive/receive.h"
#include "transmit/transmit.h"

namespace hk::test {
namespace {

using namespace win32;
using locks::InterleavePoint;

// Reads `field` under `lock`, as the driver's other contexts write it.
template <typename T>
T Locked(PKSPIN_LOCK lock, const T& field) {
  KIRQL irql;
  KeAcquireSpinLock(lock, &irql);
  T value = field;
  KeReleaseSpinLock(lock, irql);
  return value;
}

// A request issued from inside a window; one still pending when the test ends is left to the
// machine's shut-down rather than freed under it.
struct Issued : std::unique_ptr<Pending> {
  Issued& operator=(std::unique_ptr<Pending>&& p) {
    std::unique_ptr<Pending>::operator=(std::move(p));
    return *this;
  }
  ~Issued() {
    if (get() != nullptr && !get()->Done()) (void)release();
  }
};

// Requests issued from inside a held window, where waiting for the machine to settle would wait
// for the window itself.
std::unique_ptr<Pending> IssueIoctl(HANDLE handle, ULONG code, const void* in, ULONG inLength, ULONG outLength) {
  auto p = std::make_unique<Pending>();
  p->Buffer.assign(outLength > inLength ? outLength : inLength, 0);
  if (in) std::memcpy(p->Buffer.data(), in, inLength);
  DeviceIoControl(handle, code, in ? p->Buffer.data() : nullptr, inLength, outLength ? p->Buffer.data() : nullptr,
                  outLength, nullptr, &p->Ov);
  return p;
}

std::unique_ptr<Pending> IssueRead(HANDLE handle, ULONG length) {
  auto p = std::make_unique<Pending>();
  p->Buffer.assign(length, 0);
  ReadFile(handle, p->Buffer.data(), length, nullptr, &p->Ov);
  return p;
}

class Races : public DataFlowTest {
 protected:
  void SetUp() override {
    DataFlowTest::SetUp();
    Open();
  }
};

// A transfer that finished the transmit buffer clears TxActive; a line change queued before the
// transfer is idle again wakes the writer, whose claim must not fail for good.
TEST_F(Races, AWriterWokenWhileTheLastTransferReturnsSendsWhatWasQueued) {
  PDEVICE_EXTENSION ext = Ext();
  PVOID writer = ext->WriterThreadObject;
  std::atomic<bool> armed{false}, fired{false}, writerTried{false};
  ULONG code = Device().Dtr() ? IOCTL_SERIAL_CLR_DTR : IOCTL_SERIAL_SET_DTR;
  HANDLE handle = Handle();
  Issued line;
  Device().TakeTransmitted();
  InterleaveHook hook([&](const void* object, InterleavePoint point) {
    if (point != InterleavePoint::AfterRelease || !armed) return;
    if (object == &ext->BulkOutLock && InThread(writer)) writerTried = true;
    if (object != &ext->TxLock || CurrentThread().Name != "USB host controller" || fired) return;
    if (Locked(&ext->TxLock, ext->TxActive) || Locked(&ext->TxLock, ext->TxCount) != 0) return;
    if (fired.exchange(true)) return;
    writerTried = false;
    std::thread([&] { line = IssueIoctl(handle, code, nullptr, 0, 0); }).join();
    EXPECT_TRUE(WaitFor([&] { return writerTried.load(); }, std::chrono::seconds(10)));
  });
  armed = true;
  auto write = StartWrite(Bytes("a"));
  machine().Settle();
  armed = false;
  ASSERT_TRUE(fired);
  ASSERT_TRUE(write->Done());
  ASSERT_TRUE(line->Done());
  EXPECT_EQ(line->Status(), STATUS_SUCCESS);
  EXPECT_EQ(Device().Dtr(), code == IOCTL_SERIAL_SET_DTR) << "the line change was never sent";
  auto next = StartWrite(Bytes("bc"));
  machine().Settle();
  ASSERT_TRUE(next->Done()) << "transmit stopped for good";
  EXPECT_EQ(next->Status(), STATUS_SUCCESS);
  EXPECT_EQ(Device().TakeTransmitted(), Bytes("abc"));
}

// A failed bulk-in transfer stops reading; a read that restarts reading before the transfer is
// idle again must not be lost, or nothing is read again, not even by the retry.
TEST_F(Races, AReadRestartingReadingWhileAFailedTransferReturnsIsNotLost) {
  SetTimeouts(MAXULONG, 0, 0);
  Receive(Bytes("ab"));
  PDEVICE_EXTENSION ext = Ext();
  PVOID reader = ext->ReaderThreadObject;
  std::atomic<bool> armed{false}, fired{false}, readerTried{false};
  HANDLE handle = Handle();
  Issued first;
  InterleaveHook hook([&](const void* object, InterleavePoint point) {
    if (!armed) return;
    if (point == InterleavePoint::AfterRelease && object == &ext->BulkInLock && InThread(reader)) readerTried = true;
    if (point != InterleavePoint::QueueDpc || object != &ext->EventDpc ||
        CurrentThread().Name != "USB host controller" || Locked(&ext->RxLock, ext->BulkInActive) ||
        fired.exchange(true))
      return;
    readerTried = false;
    std::thread([&] { first = IssueRead(handle, 1); }).join();
    EXPECT_TRUE(WaitFor([&] { return readerTried.load(); }, std::chrono::seconds(10)));
  });
  armed = true;
  Device().FailNext(0x81, USBD_STATUS_STALL_PID);
  machine().Settle();
  armed = false;
  ASSERT_TRUE(fired);
  ASSERT_TRUE(first->Done());
  EXPECT_EQ(first->Text(), "a");
  machine().AdvanceMs(1100);
  Receive(Bytes("cd"));
  EXPECT_EQ(Device().PendingTransfers(0x81), 1u) << "reading stopped for good";
  auto rest = StartRead(3);
  ASSERT_TRUE(rest->Done());
  EXPECT_EQ(rest->Text(), "bcd");
}

// A purge's abort that finds the read out of its slot (the reader thread filling it) asks the
// holder to end it cancelled; the read's own time-out, firing before the holder looks, must not
// turn that into a time-out.
TEST_F(Races, APurgedReadOutOfItsSlotStaysCancelledWhenItsTimerFiresBeforeItIsEnded) {
  SetTimeouts(0, 0, 100);
  PDEVICE_EXTENSION ext = Ext();
  PVOID reader = ext->ReaderThreadObject;
  HANDLE handle = Handle();
  auto read = StartRead(10);
  ASSERT_FALSE(read->Done());
  std::atomic<bool> armed{false}, fired{false}, timerRan{false};
  Issued purge;
  InterleaveHook hook([&](const void* object, InterleavePoint point) {
    if (!armed || object != &ext->RxLock) return;
    if (point == InterleavePoint::AfterRelease && CurrentThread().InDpc) timerRan = true;
    if (point != InterleavePoint::BeforeAcquire || !InThread(reader) || fired) return;
    // Out of its slot: taken by the reader thread and not yet ended.
    if (Locked(&ext->RxLock, ext->CurrentReadIrp) != nullptr || !Locked(&ext->RxLock, ext->ReadOutstanding)) return;
    fired = true;
    ULONG mask = SERIAL_PURGE_RXABORT;
    std::thread([&] { purge = IssueIoctl(handle, IOCTL_SERIAL_PURGE, &mask, sizeof mask, 0); }).join();
    timerRan = false;
    clock::JumpTo(clock::Now() + 200 * clock::kUnitsPerMs);
    while (clock::FireOneDue()) {
    }
    EXPECT_TRUE(WaitFor([&] { return timerRan.load(); }, std::chrono::seconds(10))) << "the read's timer never ran";
  });
  armed = true;
  Receive(Bytes("ab"));
  machine().Settle();
  armed = false;
  ASSERT_TRUE(fired) << "the reader thread never held the read";
  ASSERT_TRUE(purge->Done());
  EXPECT_EQ(purge->Status(), STATUS_SUCCESS);
  ASSERT_TRUE(read->Done());
  EXPECT_EQ(read->Status(), STATUS_CANCELLED) << "the purge came first";
  EXPECT_EQ(read->Bytes(), 0u);
  // The characters stay for the next read, and the next read's timer is its own.
  auto next = StartRead(2);
  ASSERT_TRUE(next->Done());
  EXPECT_EQ(next->Text(), "ab");
}

// A cancel-remove the driver saw no query for wakes the reader while a transfer is in flight; the
// transfer then fills the buffer, and the stale wake-up must not submit another into no room.
TEST_F(Races, AStaleWakeUpOfTheReaderWithTheBufferFullSubmitsNothing) {
  PDEVICE_EXTENSION ext = Ext();
  PVOID reader = ext->ReaderThreadObject;
  // Nearly full of status units, with room for exactly one more packet and a unit less.
  const ULONG start = RX_BUFFER_SIZE - TRANSFER_BUFFER_SIZE - 2;
  {
    KIRQL irql;
    KeAcquireSpinLock(&ext->RxLock, &irql);
    RtlZeroMemory(ext->RxBuffer, start);
    ext->RxCount = start;
    ext->RxStatusCount = start;
    KeReleaseSpinLock(&ext->RxLock, irql);
  }
  std::atomic<bool> armed{false}, fired{false};
  InterleaveHook hook([&](const void* object, InterleavePoint point) {
    if (!armed || point != InterleavePoint::QueueDpc || object != &ext->EventDpc || !InThread(reader) ||
        fired.exchange(true))
      return;
    // The reader thread is woken; before it submits, a full packet arrives and fills the buffer.
    Device().ReceiveFromLine(std::vector<UCHAR>(TRANSFER_BUFFER_SIZE / 2, 'x'));
    EXPECT_TRUE(WaitFor([&] { return Locked(&ext->RxLock, ext->RxCount) > start; }, std::chrono::seconds(10)));
    EXPECT_TRUE(WaitFor([&] { return Locked(&ext->BulkInLock, ext->BulkInState) == BULK_IDLE; },
                        std::chrono::seconds(10)));
  });
  armed = true;
  ASSERT_EQ(pnp::SendPnp(Node(), IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
  machine().Settle();
  armed = false;
  ASSERT_TRUE(fired);
  Device().ReceiveFromLine(std::vector<UCHAR>(TRANSFER_BUFFER_SIZE / 2, 'y'));
  machine().Settle();
  EXPECT_LE(Locked(&ext->RxLock, ext->RxCount), (ULONG)RX_BUFFER_SIZE) << "written past the receive buffer";
  EXPECT_EQ(Device().PendingTransfers(0x81), 0u) << "a transfer was submitted with no room for it";
  ASSERT_EQ(Purge(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
  machine().Settle();
  EXPECT_EQ(Device().PendingTransfers(0x81), 1u);
}

// A close that finds a transfer claimed but not yet submitted waits until its submitter has
// either given it back or submitted it, or the reopened port shares the transfer with it.
class ClaimedAtClose : public Races, public ::testing::WithParamInterface<bool> {};

TEST_P(ClaimedAtClose, CloseWaitsForTheClaimToBeSettled) {
  bool bulkOut = GetParam();
  PDEVICE_EXTENSION ext = Ext();
  PVOID thread = bulkOut ? ext->WriterThreadObject : ext->ReaderThreadObject;
  PKSPIN_LOCK lock = bulkOut ? &ext->BulkOutLock : &ext->BulkInLock;
  volatile UCHAR* state = bulkOut ? &ext->BulkOutState : &ext->BulkInState;
  HANDLE handle = Handle();
  std::atomic<bool> armed{false}, fired{false}, held{false}, closed{false}, closedTooSoon{false};
  std::thread closer;
  InterleaveHook hook([&](const void* object, InterleavePoint point) {
    if (!armed || point != InterleavePoint::AfterRelease || object != lock || !InThread(thread)) return;
    if (Locked(lock, *state) != BULK_CLAIMED || fired.exchange(true)) return;
    closer = std::thread([&] {
      CloseHandle(handle);
      closed = true;
    });
    closedTooSoon = WaitFor([&] { return closed.load(); }, std::chrono::milliseconds(300));
    held = true;
  });
  armed = true;
  auto write = StartWrite(Bytes("x"));  // the writer claims the bulk-out transfer
  Device().ReceiveFromLine(Bytes("y"));  // the reader claims the next bulk-in transfer
  machine().Settle();
  ASSERT_TRUE(WaitFor([&] { return held.load(); }, std::chrono::seconds(10)));
  closer.join();
  armed = false;
  machine().Settle();
  EXPECT_FALSE(closedTooSoon) << "close ended while a transfer was claimed";
  EXPECT_EQ(Locked(lock, *state), BULK_IDLE);
  EXPECT_EQ(Device().PendingTransfers(bulkOut ? 0x01 : 0x81), 0u);

  Open();
  SetTimeouts(MAXULONG, 0, 0);
  Receive(Bytes("ok"));
  auto read = StartRead(2);
  ASSERT_TRUE(read->Done());
  EXPECT_EQ(read->Text(), "ok");
}

INSTANTIATE_TEST_SUITE_P(Transfers, ClaimedAtClose, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "BulkOut" : "BulkIn"; });

// The event DPC found a match; before it takes EventLock, a wait completes with that match and a
// new wait pends. The DPC must not complete the new wait with nothing.
TEST_F(Races, AWaitIsNotCompletedWithNothingByAnEventDpcThatFoundAnEarlierMatch) {
  SetWaitMask(SERIAL_EV_RXCHAR);
  PDEVICE_EXTENSION ext = Ext();
  auto first = StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
  machine().Settle();
  ASSERT_FALSE(first->Done());
  std::atomic<bool> armed{false}, fired{false};
  HANDLE handle = Handle();
  Issued reset, second, third;
  InterleaveHook hook([&](const void* object, InterleavePoint point) {
    if (!armed || point != InterleavePoint::BeforeAcquire || object != &ext->EventLock ||
        !CurrentThread().InDpc || fired.exchange(true))
      return;
    std::thread([&] {
      ULONG mask = SERIAL_EV_RXCHAR;  // completes the first wait with nothing, as it must
      reset = IssueIoctl(handle, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, 0);
      second = IssueIoctl(handle, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
      third = IssueIoctl(handle, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    }).join();
  });
  armed = true;
  Receive(Bytes("z"));
  armed = false;
  ASSERT_TRUE(fired);
  ASSERT_TRUE(reset->Done());
  EXPECT_EQ(reset->Status(), STATUS_SUCCESS);
  ASSERT_TRUE(first->Done());
  ASSERT_TRUE(second->Done());
  EXPECT_EQ(*(ULONG*)second->Buffer.data(), (ULONG)SERIAL_EV_RXCHAR) << "the second wait takes the match";
  EXPECT_FALSE(third->Done()) << "the third wait was completed with " << *(ULONG*)third->Buffer.data();
  Receive(Bytes("w"));
  ASSERT_TRUE(third->Done());
  EXPECT_EQ(*(ULONG*)third->Buffer.data(), (ULONG)SERIAL_EV_RXCHAR);
}

// An open waiting for the adapter's answer has passed the ready test; a query-stop arriving then
// must see the port as open, or the port ends up open on a device being stopped.
TEST_F(Races, AQueryStopDuringAnOpenIsRefused) {
  Close();
  struct State {
    std::thread::id Opener = std::this_thread::get_id();
    std::atomic<bool> Armed{true}, Fired{false};
    std::atomic<NTSTATUS> QueryStop{STATUS_PENDING};
  };
  auto state = std::make_shared<State>();
  pnp::DeviceNode* node = Node();
  // The bus keeps its observers: this one holds its state and acts once.
  Bus().AddObserver([state, node](const usb::UrbEvent& e) {
    if (e.Completion || e.Type != usb::TransferType::Control || !state->Armed ||
        std::this_thread::get_id() != state->Opener || state->Fired.exchange(true))
      return;
    std::thread([state, node] { state->QueryStop = pnp::SendPnp(node, IRP_MN_QUERY_STOP_DEVICE); }).join();
  });
  Open();
  state->Armed = false;
  ASSERT_TRUE(state->Fired);
  NTSTATUS queryStop = state->QueryStop;
  if (queryStop == STATUS_SUCCESS) {
    EXPECT_EQ(pnp::SendPnp(Node(), IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
  }
  EXPECT_NE(queryStop, STATUS_SUCCESS) << "a query-stop was accepted for a port being opened";
  SetTimeouts(MAXULONG, 0, 0);
  Receive(Bytes("ok"));
  auto read = StartRead(2);
  ASSERT_TRUE(read->Done());
  EXPECT_EQ(read->Text(), "ok");
}

}  // namespace
}  // namespace hk::test
