// Purging, the modem status and the communication status: what each mask bit ends or empties,
// which event bits a status read clears, and errors reported once.
#include "control_surface.h"

namespace hk::test {
namespace {

class IoctlStatus : public ControlSurfaceTest {
 protected:
  void SetUp() override {
    ControlSurfaceTest::SetUp();
    if (!HasFatalFailure()) Open();
  }
  void SetMask(ULONG mask) { ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask), STATUS_SUCCESS); }
  // A write held by output CTS handshake with CTS off, timed out only after a minute.
  std::unique_ptr<Pending> HeldWrite() {
    SERIAL_HANDFLOW h{SERIAL_CTS_HANDSHAKE, 0, 10, 10};
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_HANDFLOW, &h, sizeof h), STATUS_SUCCESS);
    SetTimeouts(0, 0, 0, 0, 60000);
    auto write = StartWrite(Bytes("held back"));
    EXPECT_FALSE(write->Done());
    return write;
  }
};

TEST_F(IoctlStatus, PurgeMasksOutsideTheFourBitsAreRefusedAndTxClearAloneDoesNothing) {
  Device().ReceiveFromLine(Bytes("kept"));
  machine().Settle();
  auto write = HeldWrite();
  SetTimeouts(0, 0, 0, 0, 60000);
  auto read = StartRead(10);
  ASSERT_FALSE(read->Done());
  EXPECT_EQ(Purge(0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Purge(0x10), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Purge(0x8000000F), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Purge(SERIAL_PURGE_TXCLEAR), STATUS_SUCCESS);
  machine().Settle();
  EXPECT_FALSE(read->Done());
  EXPECT_FALSE(write->Done());
  EXPECT_EQ(CommStatus().AmountInInQueue, 4u);
  EXPECT_EQ(Purge(SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXABORT), STATUS_SUCCESS);
  machine().Settle();
  ASSERT_TRUE(read->Done());
  ASSERT_TRUE(write->Done());
  EXPECT_EQ(read->Status(), STATUS_CANCELLED);
  EXPECT_EQ(read->Bytes(), 0u);
  EXPECT_EQ(write->Status(), STATUS_CANCELLED);
  EXPECT_EQ(write->Bytes(), 0u);
  EXPECT_EQ(CommStatus().AmountInInQueue, 4u) << "aborting a read does not empty the buffer";
  EXPECT_TRUE(Device().TakeTransmitted().empty()) << "the held write's data never went out";
}

TEST_F(IoctlStatus, RxClearEmptiesTheBufferAndForgetsTheReceiveEventsOnly) {
  SERIAL_CHARS chars{0, 0, 0, '!', 0x11, 0x13};
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_CHARS, &chars, sizeof chars), STATUS_SUCCESS);
  SetMask(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG | SERIAL_EV_CTS);
  Device().ReceiveFromLine(Bytes("hey!"));
  machine().Settle();
  SetTimeouts(0, 0, 0);
  auto read = StartRead(10);
  ASSERT_FALSE(read->Done()) << "a read of ten characters waits for six more";
  ASSERT_EQ(Purge(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
  EXPECT_EQ(CommStatus().AmountInInQueue, 0u);
  EXPECT_FALSE(read->Done()) << "clearing is not aborting";
  auto wait = StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
  EXPECT_FALSE(wait->Done()) << "RXCHAR and RXFLAG were forgotten with the characters";
  Device().SetModemInputs(0x01);
  machine().Settle();
  ASSERT_TRUE(wait->Done());
  EXPECT_EQ(*(ULONG*)wait->Buffer.data(), (ULONG)SERIAL_EV_CTS);
  Device().ReceiveFromLine(Bytes("0123456789"));
  machine().Settle();
  ASSERT_TRUE(read->Done());
  EXPECT_EQ(std::string(read->Buffer.begin(), read->Buffer.end()), "0123456789") << "nothing purged is read";
}

TEST_F(IoctlStatus, EveryPurgeBitAtOnceEndsBothRequestsAndEmptiesTheBuffer) {
  Device().ReceiveFromLine(Bytes("stale"));
  machine().Settle();
  auto write = HeldWrite();
  SetTimeouts(0, 0, 0, 0, 60000);
  auto read = StartRead(50);
  ASSERT_EQ(Purge(0x0F), STATUS_SUCCESS);
  machine().Settle();
  ASSERT_TRUE(read->Done());
  ASSERT_TRUE(write->Done());
  EXPECT_EQ(read->Status(), STATUS_CANCELLED);
  EXPECT_EQ(read->Bytes(), 0u) << "the buffer was emptied before the read was aborted";
  EXPECT_EQ(write->Status(), STATUS_CANCELLED);
  SERIAL_STATUS s = CommStatus();
  EXPECT_EQ(s.AmountInInQueue, 0u);
  EXPECT_EQ(s.AmountInOutQueue, 0u);
  // The port goes on as before.
  Device().SetModemInputs(0x01);
  machine().Settle();
  write = StartWrite(Bytes("go"));
  EXPECT_TRUE(write->Done());
  EXPECT_EQ(write->Status(), STATUS_SUCCESS);
}

TEST_F(IoctlStatus, ModemStatusShowsTheInputsShiftedAndClearsOnlyTheirChangeEvents) {
  SetMask(SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD | SERIAL_EV_RXCHAR);
  Device().SetModemInputs(0x03);  // CTS and DSR
  Device().ReceiveFromLine(Bytes("c"));
  machine().Settle();
  ULONG bits = 0;
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &bits, sizeof bits), STATUS_SUCCESS);
  EXPECT_EQ(bits, (ULONG)(SERIAL_CTS_STATE | SERIAL_DSR_STATE));
  auto wait = StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
  ASSERT_TRUE(wait->Done()) << "the character event is still recorded";
  EXPECT_EQ(*(ULONG*)wait->Buffer.data(), (ULONG)SERIAL_EV_RXCHAR) << "the line events were read with the status";

  Device().SetModemInputs(0x0C);  // RI and DCD
  machine().Settle();
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &bits, sizeof bits), STATUS_SUCCESS);
  EXPECT_EQ(bits, (ULONG)(SERIAL_RI_STATE | SERIAL_DCD_STATE));
}

TEST_F(IoctlStatus, CommStatusReportsErrorsOnceAndTheQueuesInCharacters) {
  Device().ReceiveWithLineError('x');
  Device().ReceiveFromLine(Bytes("abc"));
  machine().Settle();
  auto read = StartRead(1);
  ASSERT_TRUE(read->Done());
  SERIAL_STATUS first = CommStatus();
  EXPECT_EQ(first.Errors, (ULONG)(SERIAL_ERROR_FRAMING | SERIAL_ERROR_PARITY));
  EXPECT_EQ(first.AmountInInQueue, 3u);
  EXPECT_EQ(first.HoldReasons, 0u);
  EXPECT_FALSE(first.EofReceived);
  EXPECT_FALSE(first.WaitForImmediate);
  SERIAL_STATUS second = CommStatus();
  EXPECT_EQ(second.Errors, 0u);
  EXPECT_EQ(second.AmountInInQueue, 3u);

  // A failed bulk-in transfer reads as a break.
  Device().FailNext(0x81, USBD_STATUS_STALL_PID);
  machine().Settle();
  EXPECT_EQ(CommStatus().Errors, (ULONG)SERIAL_ERROR_BREAK);
  EXPECT_EQ(CommStatus().Errors, 0u);
}

TEST_F(IoctlStatus, HoldReasonsNameWhatAHeldWriteWaitsFor) {
  SERIAL_HANDFLOW h{SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE, SERIAL_AUTO_TRANSMIT, 10, 10};
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_HANDFLOW, &h, sizeof h), STATUS_SUCCESS);
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_XOFF, nullptr, 0), STATUS_SUCCESS);
  SetTimeouts(0, 0, 0, 0, 60000);
  auto write = StartWrite(Bytes("w"));
  ASSERT_FALSE(write->Done());
  EXPECT_EQ(CommStatus().HoldReasons,
            (ULONG)(SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_FOR_DSR | SERIAL_TX_WAITING_FOR_XON));
  Device().SetModemInputs(0x03);
  machine().Settle();
  EXPECT_FALSE(write->Done());
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_XON, nullptr, 0), STATUS_SUCCESS);
  machine().Settle();
  ASSERT_TRUE(write->Done());
  EXPECT_EQ(write->Status(), STATUS_SUCCESS);
  EXPECT_EQ(CommStatus().HoldReasons, 0u);
}

TEST_F(IoctlStatus, WhileARemovalIsPendingTheStatusReportsErrorsButNoQueues) {
  Device().ReceiveFromLine(Bytes("queued"));
  Device().ReceiveWithLineError('e');
  machine().Settle();
  ASSERT_EQ(pnp::SendPnp(Node(), IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
  SERIAL_STATUS s = CommStatus();
  EXPECT_EQ(s.AmountInInQueue, 0u);
  EXPECT_EQ(s.AmountInOutQueue, 0u);
  EXPECT_EQ(s.HoldReasons, 0u);
  EXPECT_EQ(s.Errors, (ULONG)SERIAL_ERROR_BREAK) << "query-remove cancelled the bulk-in transfer";
  ASSERT_EQ(pnp::SendPnp(Node(), IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(CommStatus().AmountInInQueue, 7u);
}

}  // namespace
}  // namespace hk::test
