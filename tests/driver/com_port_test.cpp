// What Windows programs expect of a COM port: DTR and RTS raised at open and dropped at close,
// FlushFileBuffers, reads and writes posted back to back queued in arrival order, the COM name
// back after a stop and start, and the transmit-buffer routines by their names.
#include <atomic>
#include <thread>

#include "data_flow.h"
#include "io/io_manager.h"
#include "receive/receive.h"
#include "registry/registry.h"
#include "transmit/transmit.h"

namespace hk::test {
namespace {

using namespace win32;

const UCHAR kCts = 0x01;

class ComPort : public DataFlowTest {
 protected:
  void SetUp() override {
    DataFlowTest::SetUp();
    Open();
  }
  std::vector<UCHAR> Sent() { return DataCharacters(Device().BulkOutTransfers()); }
  ULONG DtrRts() {
    ULONG state = 0;
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_DTRRTS, nullptr, 0, &state, sizeof state), STATUS_SUCCESS);
    return state;
  }
  // Writes are held while CTS is off; nothing times them out.
  void HoldOutput() {
    SetHandflow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL);
    SetTimeouts(0, 0, 0, 0, 100000);
    Device().SetModemInputs(0);
    machine().Settle();
  }
  void ReleaseOutput() {
    Device().SetModemInputs(kCts);
    machine().Settle();
  }
  // FlushFileBuffers on its own thread, which it blocks until the flush is done.
  struct Flush {
    std::atomic<bool> Done{false};
    std::atomic<BOOL> Result{0};
    std::atomic<DWORD> Error{0};
    std::thread Thread;
    ~Flush() {
      if (Thread.joinable()) Thread.join();
    }
  };
  std::unique_ptr<Flush> StartFlush() {
    auto f = std::make_unique<Flush>();
    Flush* raw = f.get();
    HANDLE h = Handle();
    f->Thread = std::thread([raw, h] {
      SetLastError(0);
      raw->Result = FlushFileBuffers(h);
      raw->Error = GetLastError();
      raw->Done = true;
    });
    // The flush is with the driver, done or queued, once the machine is quiet again.
    machine().Settle();
    while (!raw->Done && QueuedFlushes() == 0) {
      std::this_thread::yield();
      machine().Settle();
    }
    return f;
  }
  PIRP QueuedFlush() {
    PREQUEST_QUEUE queue = &Ext()->WriteQueue;
    KIRQL irql;
    KeAcquireSpinLock(&queue->Lock, &irql);
    PIRP found = nullptr;
    for (PLIST_ENTRY e = queue->Head.Flink; e != &queue->Head; e = e->Flink) {
      PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
      if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_FLUSH_BUFFERS) found = irp;
    }
    KeReleaseSpinLock(&queue->Lock, irql);
    return found;
  }
  int QueuedFlushes() {
    PREQUEST_QUEUE queue = &Ext()->WriteQueue;
    KIRQL irql;
    KeAcquireSpinLock(&queue->Lock, &irql);
    int n = 0;
    for (PLIST_ENTRY e = queue->Head.Flink; e != &queue->Head; e = e->Flink) {
      PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
      if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_FLUSH_BUFFERS) ++n;
    }
    KeReleaseSpinLock(&queue->Lock, irql);
    return n;
  }
  void Join(Flush& f) {
    if (f.Thread.joinable()) f.Thread.join();
  }
};

// ---- DTR and RTS at open and close ----

TEST_F(ComPort, OpenRaisesDtrAndRtsWithOneModemControlUnitBeforeAnythingElse) {
  auto transfers = Device().BulkOutTransfers();
  ASSERT_FALSE(transfers.empty());
  EXPECT_EQ(UnitsText({transfers.front()}), "C3 00");
  EXPECT_EQ(Ext()->ModemControl, 0xA3);
  EXPECT_TRUE(Device().Dtr());
  EXPECT_TRUE(Device().Rts());
  EXPECT_EQ(DtrRts(), (ULONG)(SERIAL_DTR_STATE | SERIAL_RTS_STATE));
  // Each line now moves alone, and clearing really clears.
  ASSERT_EQ(SetLine(IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
  machine().Settle();
  EXPECT_FALSE(Device().Dtr());
  EXPECT_TRUE(Device().Rts());
  ASSERT_EQ(SetLine(IOCTL_SERIAL_CLR_RTS), STATUS_SUCCESS);
  ASSERT_EQ(SetLine(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
  machine().Settle();
  EXPECT_TRUE(Device().Dtr());
  EXPECT_FALSE(Device().Rts());
  EXPECT_EQ(AdapterFaults(), "");
}

TEST_F(ComPort, CloseDropsBothLinesBeforeTheCloseRequestAndTheNextOpenRaisesThemAgain) {
  ASSERT_TRUE(Device().Dtr() && Device().Rts());
  size_t requests = Device().ControlRequests().size();
  Close();
  EXPECT_FALSE(Device().Dtr());
  EXPECT_FALSE(Device().Rts());
  EXPECT_EQ(UnitsText({Device().BulkOutTransfers().back()}), "C0 00");
  auto control = Device().ControlRequests();
  ASSERT_EQ(control.size(), requests + 1);
  EXPECT_EQ(control.back().Setup.Request, 2);
  Open();
  EXPECT_TRUE(Device().Dtr());
  EXPECT_TRUE(Device().Rts());
  EXPECT_EQ(AdapterFaults(), "");
}

TEST_F(ComPort, AnAdapterThatHoldsTheLineUnitAtCloseDelaysTheCloseBySecondAtMost) {
  Device().StallNext(0x02);  // the next bulk-out transfer is the close's line unit
  HANDLE h = Handle();
  std::atomic<bool> closed{false};
  std::thread closer([&] {
    CloseHandle(h);
    closed = true;
  });
  LONGLONG start = NowMs();
  for (int i = 0; i < 100000 && !closed; ++i) {
    machine().AdvanceMs(10);
    std::this_thread::yield();
  }
  closer.join();
  EXPECT_GE(NowMs() - start, 1000) << "the unit was given its second";
  EXPECT_FALSE(Ext()->DeviceOpen);
  auto control = Device().ControlRequests();
  ASSERT_FALSE(control.empty());
  EXPECT_EQ(control.back().Setup.Request, 2) << "the close request still went out";
  Close();  // forgets the handle
  Open();
  EXPECT_TRUE(Device().Dtr() && Device().Rts());
}

TEST_F(ComPort, HandshakeRestoredAtOpenDecidesTheLines) {
  // Whatever the last session set, open restores DTR control and RTS control: both lines up.
  SetHandflow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE);
  ASSERT_EQ(SetLine(IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
  Close();
  Open();
  EXPECT_EQ(Ext()->ModemControl, 0xA3);
  EXPECT_EQ(DtrRts(), (ULONG)(SERIAL_DTR_STATE | SERIAL_RTS_STATE));
  // Data units carry the lines as they are.
  auto w = StartWrite(Bytes("x"));
  ASSERT_TRUE(w->Done());
  EXPECT_EQ(UnitsText({Device().BulkOutTransfers().back()}), "A3 78");
}

// ---- FlushFileBuffers ----

TEST_F(ComPort, FlushWithNothingToSendSucceedsAtOnce) {
  SetLastError(1234);
  EXPECT_TRUE(FlushFileBuffers(Handle()));
  EXPECT_EQ(GetLastError(), 1234u);
}

TEST_F(ComPort, FlushWaitsForEveryEarlierWriteToLeaveTheBuffer) {
  HoldOutput();
  auto first = StartWrite(Bytes("first"));
  auto second = StartWrite(Bytes("second"));
  ASSERT_FALSE(first->Done());
  auto flush = StartFlush();
  EXPECT_FALSE(flush->Done);
  ReleaseOutput();
  Join(*flush);
  EXPECT_TRUE(flush->Result);
  ASSERT_TRUE(first->Done() && second->Done());
  EXPECT_EQ(first->Status(), STATUS_SUCCESS);
  EXPECT_EQ(second->Status(), STATUS_SUCCESS);
  EXPECT_EQ(Sent(), Bytes("firstsecond"));
  EXPECT_EQ(Ext()->TxCount, 0u);
}

TEST_F(ComPort, PurgeTxAbortCancelsAWaitingFlushAndTheWritesBeforeIt) {
  HoldOutput();
  auto write = StartWrite(Bytes("held"));
  auto queued = StartWrite(Bytes("queued"));
  auto flush = StartFlush();
  ASSERT_FALSE(flush->Done);
  ASSERT_EQ(Purge(SERIAL_PURGE_TXABORT), STATUS_SUCCESS);
  Join(*flush);
  EXPECT_FALSE(flush->Result);
  EXPECT_EQ(flush->Error, ERROR_OPERATION_ABORTED);
  EXPECT_EQ(write->Status(), STATUS_CANCELLED);
  EXPECT_EQ(queued->Status(), STATUS_CANCELLED);
  ReleaseOutput();
  EXPECT_TRUE(Sent().empty());
}

TEST_F(ComPort, CancellingAFlushEndsItAloneAndCloseEndsAWaitingOne) {
  HoldOutput();
  auto write = StartWrite(Bytes("held"));
  auto flush = StartFlush();
  ASSERT_FALSE(flush->Done);
  // The flush alone is cancelled, as its thread's CancelIo would do; the held write stays.
  ASSERT_TRUE(IoCancelIrp(QueuedFlush()));
  Join(*flush);
  EXPECT_FALSE(flush->Result);
  EXPECT_EQ(flush->Error, ERROR_OPERATION_ABORTED);
  machine().Settle();
  EXPECT_FALSE(write->Done());

  auto again = StartWrite(Bytes("again"));
  auto second = StartFlush();
  ASSERT_FALSE(second->Done);
  Close();
  Join(*second);
  EXPECT_FALSE(second->Result);
  EXPECT_EQ(second->Error, ERROR_OPERATION_ABORTED);
  EXPECT_EQ(again->Status(), STATUS_CANCELLED);
  EXPECT_EQ(write->Status(), STATUS_CANCELLED);
}

TEST_F(ComPort, FlushIsRefusedAsAWriteIsWhenThePortIsNotReady) {
  auto fdo = Fdo();
  Close();
  PIRP irp = io::AllocateSystemIrp(fdo->StackSize, [](PIRP) {});
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
  EXPECT_EQ(io::SendAndWait(fdo, irp), STATUS_DELETE_PENDING);
  EXPECT_EQ(RawWrite(fdo, Bytes("x")), STATUS_DELETE_PENDING);
}

// ---- Queued writes ----

TEST_F(ComPort, WritesPostedBackToBackAllSucceedInArrivalOrder) {
  std::vector<PendingPtr> writes;
  std::vector<UCHAR> expected;
  for (int i = 0; i < 6; ++i) {
    auto data = Pattern(100 + 37 * i, i + 1);
    expected.insert(expected.end(), data.begin(), data.end());
    writes.push_back(StartWrite(data));
  }
  machine().Settle();
  for (auto& w : writes) {
    ASSERT_TRUE(w->Done());
    EXPECT_EQ(w->Status(), STATUS_SUCCESS);
  }
  EXPECT_EQ(Sent(), expected);
}

TEST_F(ComPort, CancellingAQueuedWriteCompletesItAloneAndTheOthersGoOnInOrder) {
  HoldOutput();
  auto a = StartWrite(Bytes("aaa"));
  auto b = StartWrite(Bytes("bbb"));
  auto c = StartWrite(Bytes("ccc"));
  ASSERT_FALSE(a->Done() || b->Done() || c->Done());
  ASSERT_TRUE(CancelIoEx(Handle(), &b->Ov));
  machine().Settle();
  ASSERT_TRUE(b->Done());
  EXPECT_EQ(b->Status(), STATUS_CANCELLED);
  EXPECT_EQ(b->Bytes(), 0u);
  EXPECT_FALSE(a->Done() || c->Done());
  ReleaseOutput();
  ASSERT_TRUE(a->Done() && c->Done());
  EXPECT_EQ(a->Status(), STATUS_SUCCESS);
  EXPECT_EQ(c->Status(), STATUS_SUCCESS);
  EXPECT_EQ(Sent(), Bytes("aaaccc"));
}

TEST_F(ComPort, AQueuedWritesTimeoutStartsWhenItBecomesCurrent) {
  SetHandflow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL);
  SetTimeouts(0, 0, 0, 0, 100);
  Device().SetModemInputs(0);
  AlignToTick();
  auto a = StartWrite(Bytes("a"));
  auto b = StartWrite(Bytes("b"));
  machine().AdvanceMs(100);
  machine().Settle();
  ASSERT_TRUE(a->Done());
  EXPECT_EQ(a->Status(), STATUS_TIMEOUT);
  machine().AdvanceMs(50);
  EXPECT_FALSE(b->Done()) << "its time-out began at arrival";
  machine().AdvanceMs(60);
  machine().Settle();
  ASSERT_TRUE(b->Done());
  EXPECT_EQ(b->Status(), STATUS_TIMEOUT);
}

TEST_F(ComPort, CleanupAndRemovalEndEveryQueuedWrite) {
  HoldOutput();
  std::vector<PendingPtr> writes;
  for (int i = 0; i < 4; ++i) writes.push_back(StartWrite(Bytes("w")));
  Close();
  for (auto& w : writes) {
    ASSERT_TRUE(w->Done());
    EXPECT_EQ(w->Status(), STATUS_CANCELLED);
  }
  Open();
  HoldOutput();
  writes.clear();
  for (int i = 0; i < 3; ++i) writes.push_back(StartWrite(Bytes("r")));
  machine().Unplug(Node());
  for (auto& w : writes) {
    ASSERT_TRUE(w->Done());
    EXPECT_EQ(w->Status(), STATUS_CANCELLED);
  }
}

// ---- Queued reads ----

TEST_F(ComPort, ReadsPostedBackToBackAreFilledInArrivalOrder) {
  auto a = StartRead(5);
  auto b = StartRead(5);
  auto c = StartRead(3);
  ASSERT_FALSE(a->Done() || b->Done() || c->Done());
  Receive(Bytes("helloworld"));
  machine().Settle();
  ASSERT_TRUE(a->Done() && b->Done());
  EXPECT_EQ(a->Text(), "hello");
  EXPECT_EQ(b->Text(), "world");
  EXPECT_FALSE(c->Done());
  Receive(Bytes("xyz"));
  machine().Settle();
  ASSERT_TRUE(c->Done());
  EXPECT_EQ(c->Text(), "xyz");
}

TEST_F(ComPort, CancellingAQueuedReadCompletesItAloneAndPurgeEndsTheRest) {
  auto a = StartRead(2);
  auto b = StartRead(2);
  auto c = StartRead(2);
  auto d = StartRead(2);
  ASSERT_TRUE(CancelIoEx(Handle(), &b->Ov));
  machine().Settle();
  ASSERT_TRUE(b->Done());
  EXPECT_EQ(b->Status(), STATUS_CANCELLED);
  EXPECT_FALSE(a->Done() || c->Done() || d->Done());
  Receive(Bytes("abcd"));
  machine().Settle();
  ASSERT_TRUE(a->Done() && c->Done());
  EXPECT_EQ(a->Text(), "ab");
  EXPECT_EQ(c->Text(), "cd");
  auto e = StartRead(2);
  ASSERT_EQ(Purge(SERIAL_PURGE_RXABORT), STATUS_SUCCESS);
  machine().Settle();
  ASSERT_TRUE(d->Done() && e->Done());
  EXPECT_EQ(d->Status(), STATUS_CANCELLED);
  EXPECT_EQ(e->Status(), STATUS_CANCELLED);
}

TEST_F(ComPort, AQueuedReadsTimeoutsStartWhenItBecomesCurrent) {
  SetTimeouts(0, 0, 100);
  AlignToTick();
  auto a = StartRead(4);
  auto b = StartRead(4);
  machine().AdvanceMs(100);
  machine().Settle();
  ASSERT_TRUE(a->Done());
  EXPECT_EQ(a->Status(), STATUS_TIMEOUT);
  machine().AdvanceMs(50);
  machine().Settle();
  EXPECT_FALSE(b->Done()) << "its time-out began at arrival";
  machine().AdvanceMs(60);
  machine().Settle();
  ASSERT_TRUE(b->Done());
  EXPECT_EQ(b->Status(), STATUS_TIMEOUT);
}

TEST_F(ComPort, CloseEndsEveryQueuedReadExactlyOnce) {
  std::vector<PendingPtr> reads;
  for (int i = 0; i < 5; ++i) reads.push_back(StartRead(10));
  Close();
  for (auto& r : reads) {
    ASSERT_TRUE(r->Done());
    EXPECT_EQ(r->Status(), STATUS_CANCELLED);
  }
}

// ---- The COM name after a stop and start ----

TEST_F(ComPort, StopAndStartBringsTheComNameBack) {
  Close();
  ASSERT_EQ(pnp::StopAndRestart(Node()), STATUS_SUCCESS);
  machine().Settle();
  EXPECT_TRUE(io::LinkExists(u"\\DosDevices\\COM5"));
  EXPECT_EQ(registry::Values(registry::kDeviceMap + u"\\SERIALCOMM").size(), 1u);
  HANDLE h = CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << std::hex << GetLastNtStatus();
  CloseHandle(h);
}

// ---- The transmit-buffer routines ----

TEST_F(ComPort, AppendStagedToTxBufferAndFrameNextWriteChunkFillTheTransmitBuffer) {
  PDEVICE_EXTENSION ext = Ext();
  ULONG before = ext->PerfStats.TransmittedCount;
  const UCHAR data[] = {'a', 'b', 'c'};
  // Only what is appended enters the buffer; nothing wakes the writer, so it stays there.
  FrameWriteData(ext, data, 3);
  AppendStagedToTxBuffer(ext, 4);
  EXPECT_EQ(ext->TxCount, 4u);
  EXPECT_EQ(Hex(std::vector<UCHAR>(ext->TxBuffer, ext->TxBuffer + 4)), "A3 61 A3 62");
  EXPECT_EQ(ext->PerfStats.TransmittedCount, before + 2);

  std::vector<UCHAR> source = Bytes("xyz");
  ext->TxSource = source.data();
  ext->TxSourceLength = 3;
  ext->TxSourceIndex = 1;
  FrameNextWriteChunk(ext);
  EXPECT_EQ(ext->TxCount, 8u);
  EXPECT_EQ(Hex(std::vector<UCHAR>(ext->TxBuffer, ext->TxBuffer + 8)), "A3 61 A3 62 A3 79 A3 7A");
  EXPECT_EQ(ext->TxSourceIndex, 0u);
  EXPECT_EQ(ext->TxSource, nullptr);
  WakeWriter(ext);
  machine().Settle();
  EXPECT_EQ(Sent(), Bytes("abyz"));
}

}  // namespace
}  // namespace hk::test
