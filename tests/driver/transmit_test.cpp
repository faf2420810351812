// The bulk-out stream byte for byte: how written characters and line changes are framed into
// units, how the transmit buffer is cut into transfers, long writes framed chunk by chunk, the
// limits of the transmit buffer, and the end of a write when its transfer fails or comes back
// after close.
#include <atomic>
#include <thread>

#include "data_flow.h"
#include "receive/receive.h"
#include "transmit/transmit.h"

namespace hk::test {
namespace {

using namespace win32;

class TxFraming : public DataFlowTest {
 protected:
  void SetUp() override {
    DataFlowTest::SetUp();
    Open();
    // Open raises DTR and RTS; these tests frame units from lines that are off, and count
    // transfers from here.
    ASSERT_EQ(SetLine(IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
    ASSERT_EQ(SetLine(IOCTL_SERIAL_CLR_RTS), STATUS_SUCCESS);
    machine().Settle();
    ASSERT_EQ(Ext()->TxCount, 0u);
    ASSERT_EQ(Ext()->ModemControl, 0xA0);
    setup_ = Device().BulkOutTransfers().size();
  }
  // The transfers since the set-up.
  std::vector<std::vector<UCHAR>> Transfers() { return TransfersFrom(setup_); }
  size_t setup_ = 0;
  // One bus completion per 1 ms frame: a transfer stays in flight until time moves, and what
  // is queued meanwhile waits in the transmit buffer.
  void PaceBus() {
    AlignToTick();
    Bus().SetFramePacing(true);
  }
  // Keeps the writer busy until the next frame: the first unit goes out in this frame, the
  // second stays in flight. Leaves the line state as it was.
  void HoldWriter() {
    ASSERT_EQ(SetLine(IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS);
    ASSERT_EQ(SetLine(IOCTL_SERIAL_CLR_RTS), STATUS_SUCCESS);
    ASSERT_EQ(Ext()->BulkOutState, BULK_SUBMITTED);
  }
  std::vector<std::vector<UCHAR>> TransfersFrom(size_t first) {
    auto all = Device().BulkOutTransfers();
    return std::vector<std::vector<UCHAR>>(all.begin() + (long)std::min(first, all.size()), all.end());
  }
  SERIALPERF_STATS Stats() {
    SERIALPERF_STATS s{};
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_STATS, nullptr, 0, &s, sizeof s), STATUS_SUCCESS);
    return s;
  }
  template <typename Done>
  void AdvanceUntil(Done done, int limitMs) {
    for (int i = 0; i < limitMs && !done(); ++i) machine().AdvanceMs(1);
  }
};

TEST_F(TxFraming, DataUnitsCarryTheLineStateOfTheirWrite) {
  auto ab = StartWrite({0x41, 0x42});
  ASSERT_TRUE(ab->Done());
  EXPECT_EQ(ab->Status(), STATUS_SUCCESS);
  EXPECT_EQ(ab->Bytes(), 2u);
  EXPECT_EQ(UnitsText(Transfers()), "A0 41 A0 42");

  size_t before = Device().BulkOutTransfers().size();
  ASSERT_EQ(SetLine(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
  ASSERT_EQ(SetLine(IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS);
  auto cr = StartWrite({0x0D});
  ASSERT_TRUE(cr->Done());
  EXPECT_EQ(cr->Bytes(), 1u);
  EXPECT_EQ(UnitsText(TransfersFrom(before)), "C1 00 | C3 00 | A3 0D");
  EXPECT_TRUE(Device().Dtr());
  EXPECT_TRUE(Device().Rts());
  EXPECT_EQ(AdapterFaults(), "");
}

TEST_F(TxFraming, ModemControlUnitBetweenDataTravelsInsideTheTransfer) {
  PaceBus();
  HoldWriter();
  size_t before = Device().BulkOutTransfers().size();
  auto a = StartWrite({0x41});
  CancelIo(Handle());  // the write ends, its unit stays queued
  machine().Settle();
  ASSERT_EQ(a->Status(), STATUS_CANCELLED);
  ASSERT_EQ(SetLine(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
  auto b = StartWrite({0x42});
  EXPECT_EQ(Ext()->TxCount, 6u);
  machine().AdvanceMs(5);
  ASSERT_TRUE(b->Done());
  EXPECT_EQ(b->Status(), STATUS_SUCCESS);
  EXPECT_EQ(UnitsText(TransfersFrom(before)), "A0 41 C1 00 A1 42");
  EXPECT_EQ(AdapterFaults(), "");
}

TEST_F(TxFraming, ModemControlUnitAtTheEndWaitsForTheNextTransfer) {
  PaceBus();
  HoldWriter();
  size_t before = Device().BulkOutTransfers().size();
  auto ab = StartWrite({0x41, 0x42});
  ASSERT_EQ(SetLine(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
  machine().AdvanceMs(1);
  EXPECT_EQ(UnitsText(TransfersFrom(before)), "A0 41 A0 42");
  EXPECT_FALSE(ab->Done()) << "the line change behind the write is not out yet";
  machine().AdvanceMs(5);
  EXPECT_EQ(UnitsText(TransfersFrom(before)), "A0 41 A0 42 | C1 00");
  ASSERT_TRUE(ab->Done());
  EXPECT_EQ(ab->Bytes(), 2u);
}

TEST_F(TxFraming, ModemControlUnitAtTheFrontGoesAloneEvenWhenDataFollows) {
  PaceBus();
  HoldWriter();
  size_t before = Device().BulkOutTransfers().size();
  ASSERT_EQ(SetLine(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
  auto a = StartWrite({0x41, 0x42});
  machine().AdvanceMs(5);
  ASSERT_TRUE(a->Done());
  EXPECT_EQ(UnitsText(TransfersFrom(before)), "C1 00 | A1 41 A1 42");
}

TEST_F(TxFraming, WriteOfAHundredThousandCharactersIsOneChunk) {
  PaceBus();
  auto data = Pattern(100000);
  auto write = StartWrite(data);
  EXPECT_EQ(Ext()->TxSourceIndex, 0u);
  EXPECT_EQ(Ext()->TxSource, nullptr);
  EXPECT_EQ(Stats().TransmittedCount, 100000u);
  AdvanceUntil([&] { return write->Done(); }, 10000);
  ASSERT_TRUE(write->Done());
  EXPECT_EQ(write->Status(), STATUS_SUCCESS);
  EXPECT_EQ(write->Bytes(), 100000u);
  auto transfers = Transfers();
  EXPECT_EQ(transfers.size(), 3125u);
  for (const auto& t : transfers) EXPECT_EQ(t.size(), 64u);
  EXPECT_EQ(DataCharacters(transfers), data);
  EXPECT_EQ(Device().TakeTransmitted(), data);
}

TEST_F(TxFraming, OneCharacterMoreIsFramedOnceTheFirstChunkHasDrained) {
  PaceBus();
  auto data = Pattern(100001);
  auto write = StartWrite(data);
  EXPECT_EQ(Ext()->TxSourceIndex, 100000u);
  EXPECT_EQ(Stats().TransmittedCount, 100000u);
  AdvanceUntil([&] { return write->Done(); }, 10000);
  ASSERT_TRUE(write->Done());
  EXPECT_EQ(write->Bytes(), 100001u);
  auto transfers = Transfers();
  ASSERT_EQ(transfers.size(), 3126u);
  EXPECT_EQ(transfers.back().size(), 2u);
  EXPECT_EQ(DataCharacters(transfers), data);
  EXPECT_EQ(Stats().TransmittedCount, 100001u);
}

// Writes that come during a long one wait behind it, however empty the buffer is between its
// chunks, and go out after its last character.
TEST_F(TxFraming, LongWriteKeepsOthersQueuedUntilItHasEnded) {
  PaceBus();
  auto data = Pattern(150000);
  auto write = StartWrite(data);
  EXPECT_EQ(Stats().TransmittedCount, 100000u);
  auto early = StartWrite(Bytes("x"));
  EXPECT_FALSE(early->Done());

  // At the end of the first chunk the buffer is nearly empty, but the rest is still to come.
  bool nearlyEmpty = false;
  AdvanceUntil(
      [&] {
        if (Ext()->TxSourceIndex != 0 && Ext()->TxCount <= 66) nearlyEmpty = true;
        return Ext()->TxSourceIndex == 0;
      },
      10000);
  EXPECT_TRUE(nearlyEmpty);
  ASSERT_EQ(Ext()->TxSourceIndex, 0u);
  EXPECT_FALSE(write->Done());
  EXPECT_FALSE(early->Done());
  EXPECT_EQ(Stats().TransmittedCount, 150000u) << "nothing of the queued write is framed yet";
  auto during = StartWrite(Bytes("z"));
  EXPECT_FALSE(during->Done());

  AdvanceUntil([&] { return during->Done(); }, 10000);
  ASSERT_TRUE(write->Done() && early->Done() && during->Done());
  EXPECT_EQ(write->Status(), STATUS_SUCCESS);
  EXPECT_EQ(write->Bytes(), 150000u);
  EXPECT_EQ(early->Status(), STATUS_SUCCESS);
  EXPECT_EQ(during->Status(), STATUS_SUCCESS);
  EXPECT_EQ(Stats().TransmittedCount, 150002u);
  auto all = data;
  all.push_back('x');
  all.push_back('z');
  EXPECT_EQ(DataCharacters(Transfers()), all);
  EXPECT_EQ(Device().TakeTransmitted(), all);
  EXPECT_EQ(AdapterFaults(), "");
}

// The writer's transfer is held at the adapter, so everything queued stays in the buffer.
TEST_F(TxFraming, WritesAreTakenUpToSixtySixBytesQueued) {
  Device().StallNext(0x02);
  ASSERT_EQ(SetLine(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);  // the held transfer
  for (int i = 0; i < 33; ++i) ASSERT_EQ(SetLine(i % 2 ? IOCTL_SERIAL_SET_DTR : IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
  ASSERT_EQ(Ext()->TxCount, 66u);
  auto accepted = StartWrite(Bytes("a"));
  EXPECT_FALSE(accepted->Done());
  EXPECT_EQ(Ext()->TxCount, 68u);
  CancelIo(Handle());
  machine().Settle();
  EXPECT_EQ(accepted->Status(), STATUS_CANCELLED);
  EXPECT_EQ(Ext()->TxCount, 68u) << "cancelling does not take back what is queued";
  auto refused = StartWrite(Bytes("b"));
  ASSERT_TRUE(refused->Done());
  EXPECT_EQ(refused->Status(), STATUS_DELETE_PENDING);
  EXPECT_EQ(refused->Bytes(), 0u);
}

TEST_F(TxFraming, InBandUnitsStopAtTheEndOfTheTransmitBuffer) {
  Device().StallNext(0x02);
  ASSERT_EQ(SetLine(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);  // the held transfer
  for (int i = 0; i < 32; ++i) ASSERT_EQ(SetLine(i % 2 ? IOCTL_SERIAL_SET_DTR : IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
  auto write = StartWrite(Pattern(100000));
  ASSERT_EQ(Ext()->TxCount, 200064u);
  EXPECT_EQ(CommStatus().AmountInOutQueue, 100032u);
  ASSERT_EQ(Ext()->ModemControl & 0x01, 0x01);
  ASSERT_EQ(SetLine(IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
  EXPECT_EQ(Ext()->TxCount, 200066u) << "a unit is taken at 200,064";
  ASSERT_EQ(SetLine(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
  EXPECT_EQ(Ext()->TxCount, 200066u) << "and refused at 200,066";
  EXPECT_EQ(Ext()->ModemControl & 0x01, 0x01) << "the line state is kept for the next unit";
  EXPECT_FALSE(write->Done());
  Close();
  EXPECT_EQ(write->Status(), STATUS_CANCELLED);
}

// A write held by flow control while line changes pile up: when it is released its chunk does
// not fit, and waits until the buffer has drained instead of running past its end.
TEST_F(TxFraming, ReleasedChunkThatDoesNotFitWaitsForTheBufferToDrain) {
  PaceBus();
  SetHandflow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL);
  SetTimeouts(0, 0, 0, 0, 60000);
  auto data = Pattern(100000, 7);
  auto write = StartWrite(data);
  ASSERT_FALSE(write->Done());
  ASSERT_TRUE(Ext()->TxHeld);
  size_t before = Device().BulkOutTransfers().size();
  for (int i = 0; i < 200; ++i) ASSERT_EQ(SetLine(i % 2 ? IOCTL_SERIAL_CLR_DTR : IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
  EXPECT_GT(Ext()->TxCount, 300u);

  Device().SetModemInputs(0x01);  // CTS on: the write is released
  AdvanceUntil([&] { return !Ext()->TxHeld; }, 100);
  ASSERT_FALSE(Ext()->TxHeld);
  EXPECT_TRUE(Ext()->TxStagePending) << "the chunk would have run past the buffer's end";
  ULONG most = 0;
  AdvanceUntil(
      [&] {
        most = std::max(most, Ext()->TxCount);
        return write->Done();
      },
      20000);
  ASSERT_TRUE(write->Done());
  EXPECT_EQ(write->Status(), STATUS_SUCCESS);
  EXPECT_EQ(write->Bytes(), 100000u);
  EXPECT_LE(most, 200067u);
  auto transfers = TransfersFrom(before);
  EXPECT_EQ(DataCharacters(transfers), data);
  // Every line change went out before the first character of the write.
  bool dataSeen = false, controlAfterData = false;
  size_t controls = 0;
  for (const auto& t : transfers)
    for (size_t i = 0; i + 1 < t.size(); i += 2) {
      bool control = (t[i] & 0xE0) == 0xC0;
      controls += control;
      if (control && dataSeen) controlAfterData = true;
      if (!control) dataSeen = true;
    }
  EXPECT_FALSE(controlAfterData);
  EXPECT_EQ(controls, 200u);
  EXPECT_EQ(Device().TakeTransmitted(), data);
  EXPECT_EQ(AdapterFaults(), "");
}

TEST_F(TxFraming, FailedTransferFailsTheWrite) {
  BusTrace trace(Node());
  Device().FailNext(0x02, USBD_STATUS_STALL_PID);
  auto write = StartWrite(Bytes("hello"));
  ASSERT_TRUE(write->Done());
  EXPECT_EQ(write->Status(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(write->Bytes(), 0u);
  EXPECT_EQ(trace.Text(), "out 10, out failed");
  EXPECT_TRUE(Device().TakeTransmitted().empty());

  auto next = StartWrite(Bytes("x"));
  ASSERT_TRUE(next->Done());
  EXPECT_EQ(next->Status(), STATUS_SUCCESS);
  EXPECT_EQ(next->Bytes(), 1u);
  EXPECT_EQ(Device().TakeTransmitted(), Bytes("x"));
}

// The failed transfer fails its write and stops the writer with most of the write still
// buffered: the next write is refused but sets the writer going again, so the port does not
// refuse writes until it is reopened.
TEST_F(TxFraming, AfterAFailedTransferTheBufferDrainsAndWritesAreTakenAgain) {
  Device().FailNext(0x02, USBD_STATUS_STALL_PID);
  auto write = StartWrite(Pattern(1000));
  ASSERT_TRUE(write->Done());
  EXPECT_EQ(write->Status(), STATUS_UNSUCCESSFUL);
  ASSERT_GT(Ext()->TxCount, (ULONG)TX_ACCEPT_LIMIT) << "the rest of the write is still buffered";
  EXPECT_FALSE(Ext()->TxActive);

  auto refused = StartWrite(Bytes("x"));
  ASSERT_TRUE(refused->Done());
  EXPECT_EQ(refused->Status(), STATUS_DELETE_PENDING);
  machine().Settle();
  EXPECT_EQ(Ext()->TxCount, 0u);

  Device().TakeTransmitted();
  auto again = StartWrite(Bytes("y"));
  ASSERT_TRUE(again->Done());
  EXPECT_EQ(again->Status(), STATUS_SUCCESS);
  EXPECT_EQ(Device().TakeTransmitted(), Bytes("y"));
}

// A transfer whose completion is on its way when the port closes: close cannot cancel it any
// more, and its completion must leave the writer idle without touching the write.
TEST_F(TxFraming, TransferCompletingAfterCloseLeavesTheWriterIdle) {
  struct Gate {
    std::atomic<bool> Armed{true};
    std::atomic<bool> Entered{false};
    std::atomic<bool> SawClosed{false};
  };
  auto gate = std::make_shared<Gate>();
  PDEVICE_EXTENSION ext = Ext();
  Receive(Bytes("unread"));
  ASSERT_EQ(Ext()->EventsSeen, (ULONG)SERIAL_EV_RXCHAR);
  Bus().AddObserver([gate, ext](const usb::UrbEvent& e) {
    if (!e.Completion || e.Endpoint != 0x02 || !gate->Armed.exchange(false)) return;
    gate->Entered = true;
    volatile BOOLEAN* closed = &ext->PortClosed;
    for (int i = 0; i < 5000 && !ReadBooleanNoFence(closed); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    gate->SawClosed = ReadBooleanNoFence(closed) != 0;
  });
  Pending write;
  write.Buffer = Bytes("late");
  WriteFile(Handle(), write.Buffer.data(), 4, nullptr, &write.Ov);
  for (int i = 0; i < 5000 && !gate->Entered; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(gate->Entered);
  Close();
  EXPECT_TRUE(gate->SawClosed);
  ASSERT_TRUE(write.Done());
  EXPECT_EQ(write.Status(), STATUS_CANCELLED) << "the write was ended by the handle's cleanup, not by the transfer";
  EXPECT_FALSE(Ext()->TxActive);
  EXPECT_EQ(Ext()->BulkOutState, BULK_IDLE);
  // The late completion dropped the event word; only the break of the cancelled bulk-in
  // transfer, which completed after it, is left.
  EXPECT_EQ(Ext()->EventsSeen, (ULONG)SERIAL_EV_BREAK);

  Open();
  auto again = StartWrite(Bytes("again"));
  ASSERT_TRUE(again->Done());
  EXPECT_EQ(again->Status(), STATUS_SUCCESS);
  EXPECT_EQ(again->Bytes(), 5u);
}

}  // namespace
}  // namespace hk::test
