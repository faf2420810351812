// Handshaking and read time-outs as the port derives them: when a handshake record moves DTR
// and RTS (seen on the adapter's outputs), which flow-control flags it sets, and the read
// time-out mode and interval polling chosen from a SERIAL_TIMEOUTS record.
#include "rx_helpers.h"
#include "serial_port_helpers.h"

namespace hk::test {
namespace {

class Settings : public SerialPortTest {
 protected:
  void SetUp() override {
    SerialPortTest::SetUp();
    Open();
  }
  ULONG DtrRts() {
    ULONG state = 0;
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_DTRRTS, nullptr, 0, &state, sizeof state), STATUS_SUCCESS);
    return state;
  }
  // The modem-control units the adapter was sent, as their header bytes.
  std::vector<UCHAR> ModemControlWords() {
    std::vector<UCHAR> words;
    for (const auto& t : Device().BulkOutTransfers())
      for (size_t i = 0; i + 1 < t.size(); i += 2)
        if ((t[i] & 0xE0) == 0xC0) words.push_back(t[i]);
    return words;
  }
};

// Open raised both lines, as the restored DTR control and RTS control say, in one word.
TEST_F(Settings, KeepingTheDefaultsRightAfterOpenLeavesBothLinesAsOpenRaisedThem) {
  ASSERT_EQ(SetHandflow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL), STATUS_SUCCESS);
  EXPECT_TRUE(Device().Dtr());
  EXPECT_TRUE(Device().Rts());
  EXPECT_EQ(DtrRts(), (ULONG)(SERIAL_DTR_STATE | SERIAL_RTS_STATE));
  EXPECT_EQ(ModemControlWords(), (std::vector<UCHAR>{0xC3})) << "an unchanged mode does not touch its line";

  // Away and back: both lines go down and come up again, DTR's word first each time.
  ASSERT_EQ(SetHandflow(0, 0), STATUS_SUCCESS);
  EXPECT_FALSE(Device().Dtr());
  EXPECT_FALSE(Device().Rts());
  EXPECT_EQ(ModemControlWords(), (std::vector<UCHAR>{0xC3, 0xC2, 0xC0}));
  ASSERT_EQ(SetHandflow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL), STATUS_SUCCESS);
  EXPECT_TRUE(Device().Dtr());
  EXPECT_TRUE(Device().Rts());
  EXPECT_EQ(DtrRts(), (ULONG)(SERIAL_DTR_STATE | SERIAL_RTS_STATE));
  EXPECT_EQ(ModemControlWords(), (std::vector<UCHAR>{0xC3, 0xC2, 0xC0, 0xC1, 0xC3}));
}

TEST_F(Settings, TransmitToggleRaisesRtsAndIsNoFlowControl) {
  ASSERT_EQ(SetHandflow(SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE), STATUS_SUCCESS);
  EXPECT_TRUE(Device().Rts());
  EXPECT_TRUE(Device().Dtr()) << "as open raised it";
  EXPECT_EQ(Ext()->FlowFlags, 0);
  // The line is the handshake's: an explicit request does not drop it.
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_CLR_RTS, nullptr, 0), STATUS_SUCCESS);
  machine().Settle();
  EXPECT_TRUE(Device().Rts());
}

TEST_F(Settings, EveryHandshakeOptionSetsItsOwnFlowFlag) {
  struct Case {
    ULONG control, replace;
    UCHAR flags;
  } cases[] = {
      {SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT, 0x01},
      {SERIAL_DTR_CONTROL | SERIAL_DSR_HANDSHAKE, SERIAL_RTS_CONTROL, 0x02},
      {SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL, 0x04},
      {SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_XOFF_CONTINUE, 0x08},
      {SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL, 0x10},
      {SERIAL_DTR_CONTROL, SERIAL_RTS_HANDSHAKE, 0x20},
      {SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE, 0x40},
      {SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE | SERIAL_AUTO_TRANSMIT, 0x35},
      {0, 0, 0},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(SetHandflow(c.control, c.replace), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->FlowFlags, c.flags) << std::hex << c.control << " / " << c.replace;
    SERIAL_HANDFLOW back{};
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &back, sizeof back), STATUS_SUCCESS);
    EXPECT_EQ(back.ControlHandShake, c.control);
    EXPECT_EQ(back.FlowReplace, c.replace);
  }
}

TEST_F(Settings, HandshakeLinesAreDecidedAtTheXoffLimitAndOnlyWhenTheirModeChanges) {
  // Both lines off, then 799,487 characters buffered while no input flow control is in force.
  ASSERT_EQ(SetHandflow(0, 0), STATUS_SUCCESS);
  FillWithCharacters(Device(), machine(), 799487);
  ASSERT_EQ(CommStatus().AmountInInQueue, 799487u);

  // One character below capacity − XoffLimit (800,000 − 512): the handshakes raise the lines.
  ASSERT_EQ(SetHandflow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 2048, 512), STATUS_SUCCESS);
  EXPECT_TRUE(Device().Dtr());
  EXPECT_TRUE(Device().Rts());

  // At capacity − XoffLimit exactly they drop them.
  ASSERT_EQ(SetHandflow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL), STATUS_SUCCESS);
  FillWithCharacters(Device(), machine(), 1);
  ASSERT_EQ(CommStatus().AmountInInQueue, 799488u);
  ASSERT_TRUE(Device().Dtr());
  ASSERT_TRUE(Device().Rts());
  ASSERT_EQ(SetHandflow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 2048, 512), STATUS_SUCCESS);
  EXPECT_FALSE(Device().Dtr());
  EXPECT_FALSE(Device().Rts());
  EXPECT_EQ(Ext()->FlowFlags, 0x30);

  // Well below the limit now, but the same modes applied again leave the lines alone.
  EXPECT_EQ(ReadNow(1000), std::string(1000, 'x'));
  ASSERT_EQ(SetHandflow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 2048, 512), STATUS_SUCCESS);
  EXPECT_FALSE(Device().Dtr());
  EXPECT_FALSE(Device().Rts());
  ASSERT_EQ(SetHandflow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL), STATUS_SUCCESS);
  EXPECT_TRUE(Device().Dtr());
  EXPECT_TRUE(Device().Rts());
}

struct TimeoutCase {
  ULONG interval, multiplier, constant;
  UCHAR mode;
};

TEST_F(Settings, ReadTimeoutModeFollowsTheTimeoutRecord) {
  const ULONG M = MAXULONG;
  TimeoutCase cases[] = {
      {M, 0, 0, 1}, {M, M, 0, 2}, {M, M, 7, 2},  {M, 0, 100, 3}, {M, 5, 100, 3},
      {M, 5, M, 0}, {50, 0, 0, 0}, {0, 10, 0, 4}, {0, 0, 10, 4},  {0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SetTimeouts(c.interval, c.multiplier, c.constant);
    EXPECT_EQ(Ext()->ReadTimeoutMode, c.mode) << c.interval << ", " << c.multiplier << ", " << c.constant;
  }
  SERIAL_TIMEOUTS refused{M, M, M, 0, 0};
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &refused, sizeof refused), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Ext()->ReadTimeoutMode, 0) << "a refused record changes nothing";
  SERIAL_TIMEOUTS back{};
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &back, sizeof back), STATUS_SUCCESS);
  EXPECT_EQ(back.ReadIntervalTimeout, 0u);
}

TEST_F(Settings, IntervalIsPolledEveryTickBelowTwentySecondsAndOnceASecondFromThere) {
  SetTimeouts(50, 0, 0);
  EXPECT_EQ(Ext()->ReadIntervalTime.QuadPart, 500000);
  SetTimeouts(19999, 0, 0);
  EXPECT_EQ(Ext()->ReadIntervalTime.QuadPart, 199990000);
  EXPECT_EQ(Ext()->IntervalPollDueTime.QuadPart, -1);
  SetTimeouts(20000, 0, 0);
  EXPECT_EQ(Ext()->ReadIntervalTime.QuadPart, 200000000);
  EXPECT_EQ(Ext()->IntervalPollDueTime.QuadPart, -10000000);

  // No interval (0) or no interval timing (MAXULONG) keeps the values of the last one.
  SetTimeouts(0, 0, 10);
  SetTimeouts(MAXULONG, 0, 0);
  EXPECT_EQ(Ext()->ReadIntervalTime.QuadPart, 200000000);
  EXPECT_EQ(Ext()->IntervalPollDueTime.QuadPart, -10000000);

  // The largest interval does not overflow.
  SetTimeouts(MAXULONG - 1, 0, 0);
  EXPECT_EQ(Ext()->ReadIntervalTime.QuadPart, (LONGLONG)(MAXULONG - 1) * 10000);
  EXPECT_EQ(Ext()->IntervalPollDueTime.QuadPart, -10000000);
}

}  // namespace
}  // namespace hk::test
