// The bulk-in stream as the driver stores and serves it: character, line-error and status
// units, the modem status carried in the headers, XON/XOFF recognition, malformed packets,
// the overrun at the end of the receive buffer and the high-water mark of input flow control.
// Packets are planted in the adapter's bulk-in stream exactly as a device could send them.
#include "rx_helpers.h"
#include "serial_port_helpers.h"

namespace hk::test {
namespace {

class ReceiveBuffer : public SerialPortTest {
 protected:
  void SetUp() override {
    SerialPortTest::SetUp();
    Open();
  }
  void Inject(std::vector<UCHAR> packet) {
    Device().InjectBulkIn(std::move(packet));
    machine().Settle();
  }
  ULONG Events() { return Ext()->EventsSeen; }
};

TEST_F(ReceiveBuffer, CharacterUnitsAreDeliveredInOrderAndTheLastReadEmptiesTheBuffer) {
  Inject({0x21, 0x41, 0x21, 0x42});
  EXPECT_TRUE(Events() & SERIAL_EV_RXCHAR);
  EXPECT_EQ(CommStatus().AmountInInQueue, 2u);
  EXPECT_EQ(ReadNow(2), "AB");
  EXPECT_EQ(Ext()->RxCount, 0u);
  EXPECT_FALSE(Events() & SERIAL_EV_RXCHAR) << "nothing is left to read";
  EXPECT_EQ(Ext()->PerfStats.ReceivedCount, 2u);
}

TEST_F(ReceiveBuffer, StatusUnitsAreNeverDeliveredAndGoWithTheLastCharacter) {
  Inject({0x40, 0x00, 0x20, 0x58});
  EXPECT_EQ(Ext()->RxStatusCount, 2u);
  EXPECT_EQ(CommStatus().AmountInInQueue, 1u);
  EXPECT_EQ(ReadNow(1), "X");
  EXPECT_EQ(Ext()->RxCount, 0u);

  // Status units left behind the last character are dropped with it.
  Inject({0x20, 0x41, 0x00, 0x00, 0xC0, 0x00});
  EXPECT_EQ(CommStatus().AmountInInQueue, 1u);
  EXPECT_EQ(ReadNow(1), "A");
  EXPECT_EQ(Ext()->RxCount, 0u);
  EXPECT_EQ(Ext()->RxStatusCount, 0u);
  EXPECT_EQ(Ext()->PerfStats.ReceivedCount, 2u) << "status units are not received characters";
}

TEST_F(ReceiveBuffer, LineErrorIsReportedWhenTheCharacterIsReadNotWhenItArrives) {
  Inject({0x60, 0x5A});
  EXPECT_FALSE(Events() & SERIAL_EV_RXCHAR);
  EXPECT_FALSE(Events() & SERIAL_EV_ERR);
  EXPECT_EQ(CommStatus().Errors, 0u);
  EXPECT_EQ(CommStatus().AmountInInQueue, 1u);

  EXPECT_EQ(ReadNow(1), "Z");
  EXPECT_TRUE(Events() & SERIAL_EV_ERR);
  ASSERT_EQ(SetWaitMask(SERIAL_EV_ERR), STATUS_SUCCESS);
  auto wait = StartWait();
  ASSERT_TRUE(wait->Done()) << "the error was recorded by the read";
  EXPECT_EQ(WaitResult(*wait), (ULONG)SERIAL_EV_ERR);
  EXPECT_EQ(CommStatus().Errors, (ULONG)(SERIAL_ERROR_FRAMING | SERIAL_ERROR_PARITY));
  EXPECT_EQ(CommStatus().Errors, 0u) << "reading the errors clears them";
}

TEST_F(ReceiveBuffer, ModemStatusComesFromTheLastUnitsHeaderOnly) {
  ASSERT_EQ(SetWaitMask(SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RING | SERIAL_EV_RLSD), STATUS_SUCCESS);
  auto wait = StartWait();
  ASSERT_FALSE(wait->Done());

  // Every input set in the first unit's header, none in the last: nothing changed.
  Inject({0x2F, 0x41, 0x20, 0x42});
  EXPECT_FALSE(wait->Done());
  EXPECT_EQ(Ext()->ModemStatus, 0);

  Inject({0x20, 0x43, 0x29, 0x44});
  ASSERT_TRUE(wait->Done());
  EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
  EXPECT_EQ(WaitResult(*wait), (ULONG)(SERIAL_EV_CTS | SERIAL_EV_RLSD));
  EXPECT_EQ(Ext()->ModemStatus, 0x09);
  EXPECT_EQ(ModemStatusBits(), 0x90u);

  // A packet of status units alone still carries the inputs, and no character.
  Inject({0x00, 0x00, 0x02, 0x00});
  EXPECT_EQ(ModemStatusBits(), 0x20u);
  EXPECT_EQ(CommStatus().AmountInInQueue, 4u);
  EXPECT_EQ(ReadNow(4), "ABCD");
}

TEST_F(ReceiveBuffer, WithOutputXonXoffTheNewestFlowCharacterWinsAndNoneIsEverRead) {
  ASSERT_EQ(SetHandflow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT), STATUS_SUCCESS);
  SetTimeouts(0, 0, 0, 0, 60000);

  // XON, 'A', XOFF: the XOFF came last, so sending stops.
  Inject({0x21, 0x11, 0x21, 0x41, 0x21, 0x13});
  EXPECT_FALSE(Ext()->TxXonState);
  auto write = StartWrite(Bytes("hi"));
  EXPECT_FALSE(write->Done()) << "the write waits for XON";
  EXPECT_TRUE(CommStatus().HoldReasons & SERIAL_TX_WAITING_FOR_XON);
  EXPECT_EQ(ReadNow(1), "A");

  // XOFF, 'B', XON: the XON came last, so the held write goes.
  Inject({0x21, 0x13, 0x21, 0x42, 0x21, 0x11});
  EXPECT_TRUE(Ext()->TxXonState);
  ASSERT_TRUE(write->Done());
  EXPECT_EQ(write->Status(), STATUS_SUCCESS);
  EXPECT_EQ(Device().TakeTransmitted(), Bytes("hi"));
  EXPECT_EQ(ReadNow(1), "B");

  // What is left is a flow character: a read that takes what there is gets nothing.
  SetTimeouts(MAXULONG, 0, 0);
  auto last = StartRead(4);
  ASSERT_TRUE(last->Done());
  EXPECT_EQ(last->Bytes(), 0u);
  EXPECT_EQ(Ext()->RxCount, 0u);
}

TEST_F(ReceiveBuffer, TrailingHalfUnitIsDroppedAndAOneBytePacketIsIgnored) {
  // Three bytes: the unit 20 41 and half a unit whose byte would read as CTS if it were taken
  // for the last header.
  Inject({0x20, 0x41, 0x2B});
  EXPECT_EQ(Ext()->RxCount, 2u);
  EXPECT_EQ(Ext()->ModemStatus, 0);
  EXPECT_EQ(Ext()->PerfStats.ReceivedCount, 1u);

  ULONG events = Events();
  Inject({0x29});
  EXPECT_EQ(Ext()->RxCount, 2u);
  EXPECT_EQ(Ext()->ModemStatus, 0) << "a lone byte carries no modem status";
  EXPECT_EQ(Events(), events);
  EXPECT_EQ(Device().PendingTransfers(0x81), 1u) << "reading goes on after either packet";

  Inject({});
  EXPECT_EQ(Device().PendingTransfers(0x81), 1u) << "an empty packet is followed by the next transfer";
  EXPECT_EQ(ReadNow(1), "A");
}

TEST_F(ReceiveBuffer, APacketLongerThanTheTransferBufferCannotReachPastIt) {
  Inject(CharUnits(std::string(50, 'q')));  // 100 bytes for a 64-byte transfer
  EXPECT_EQ(Ext()->RxCount, 64u);
  EXPECT_EQ(CommStatus().AmountInInQueue, 32u);
  EXPECT_TRUE(Ext()->BulkInActive);
  EXPECT_EQ(Device().PendingTransfers(0x81), 1u);
  EXPECT_EQ(ReadNow(32), std::string(32, 'q'));
}

TEST_F(ReceiveBuffer, FullBufferPausesReadingUntilAReadMakesRoomForAPacket) {
  // 24,999 full packets and one unit: 1,599,938 bytes, with no room for one more packet.
  FillWithCharacters(Device(), machine(), (kRxBufferBytes - 64) / 2 + 1);
  ASSERT_EQ(Ext()->RxCount, 1599938u);
  EXPECT_EQ(Device().PendingTransfers(0x81), 0u) << "no transfer while a packet might not fit";
  EXPECT_FALSE(Ext()->BulkInActive);
  EXPECT_TRUE(Events() & SERIAL_EV_ERR);
  EXPECT_EQ(CommStatus().Errors, (ULONG)(SERIAL_ERROR_OVERRUN | SERIAL_ERROR_QUEUEOVERRUN));

  EXPECT_EQ(ReadNow(1), "x");
  EXPECT_EQ(Ext()->RxCount, 1599936u);
  EXPECT_TRUE(Ext()->BulkInActive);
  EXPECT_EQ(Device().PendingTransfers(0x81), 1u) << "one unit less leaves room for a packet";

  // The next packet fills it again; nothing already received was lost on the way.
  Inject(CharUnits("later"));
  EXPECT_EQ(Ext()->RxCount, 1599946u);
  EXPECT_EQ(Device().PendingTransfers(0x81), 0u);
  EXPECT_EQ(CommStatus().AmountInInQueue, 799968u + 5u);
}

TEST_F(ReceiveBuffer, RtsHandshakeDropsRtsAboveTheHighWaterMarkAndRaisesItBelow) {
  ASSERT_EQ(SetHandflow(SERIAL_DTR_CONTROL, SERIAL_RTS_HANDSHAKE), STATUS_SUCCESS);
  ASSERT_TRUE(Device().Rts());
  bool dtr = Device().Dtr();

  FillWithCharacters(Device(), machine(), 797888 / 2);  // exactly at the mark
  EXPECT_TRUE(Device().Rts());
  FillWithCharacters(Device(), machine(), 32);  // one packet past it
  ASSERT_EQ(Ext()->RxCount, 797952u);
  EXPECT_FALSE(Device().Rts());
  EXPECT_EQ(Device().Dtr(), dtr) << "only the line of the chosen handshake moves";

  EXPECT_EQ(ReadNow(31), std::string(31, 'x'));
  EXPECT_FALSE(Device().Rts()) << "797,890 bytes are still above the mark";
  EXPECT_EQ(ReadNow(1), "x");
  EXPECT_TRUE(Device().Rts());
}

// Input flow control is released whenever the buffer is emptied, not only by a read that
// arrives while characters are buffered: the partner would be held off for good.
TEST_F(ReceiveBuffer, APurgeOrATimedOutReadThatEmptiesTheBufferLetsTheHeldOffPartnerSendAgain) {
  ASSERT_EQ(SetHandflow(SERIAL_DTR_CONTROL, SERIAL_RTS_HANDSHAKE), STATUS_SUCCESS);
  FillWithCharacters(Device(), machine(), 797888 / 2 + 32);
  ASSERT_FALSE(Device().Rts());
  ASSERT_EQ(Purge(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
  machine().Settle();
  EXPECT_TRUE(Device().Rts()) << "the purge emptied the buffer";

  FillWithCharacters(Device(), machine(), 797888 / 2 + 32);
  ASSERT_FALSE(Device().Rts());
  SetTimeouts(0, 0, 100);
  auto read = StartRead(500000);
  machine().AdvanceMs(110);
  ASSERT_TRUE(read->Done());
  EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
  EXPECT_EQ(read->Bytes(), 797888u / 2 + 32);
  EXPECT_EQ(Ext()->RxCount, 0u);
  EXPECT_TRUE(Device().Rts()) << "the timed-out read emptied the buffer";
}

// Every unit of every bulk-out transfer, in order.
std::vector<std::pair<UCHAR, UCHAR>> OutUnits(const std::vector<std::vector<UCHAR>>& transfers) {
  std::vector<std::pair<UCHAR, UCHAR>> units;
  for (const auto& t : transfers)
    for (size_t i = 0; i + 1 < t.size(); i += 2) units.emplace_back(t[i], t[i + 1]);
  return units;
}

TEST_F(ReceiveBuffer, XonXoffInputSendsOneXoffAboveTheMarkAndOneXonBelow) {
  ASSERT_EQ(SetHandflow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE), STATUS_SUCCESS);
  FillWithCharacters(Device(), machine(), 797888 / 2 + 5 * 32);  // five packets past the mark
  EXPECT_EQ(ReadNow(32 * 5 + 1), std::string(161, 'x'));

  std::vector<UCHAR> flow;
  for (const auto& [header, data] : OutUnits(Device().BulkOutTransfers()))
    if ((header & 0xE0) == 0xA0) flow.push_back(data);
  EXPECT_EQ(flow, (std::vector<UCHAR>{0x13, 0x11})) << "one XOFF, then one XON";
}

}  // namespace
}  // namespace hk::test
