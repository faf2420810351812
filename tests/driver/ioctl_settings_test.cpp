// The setting codes that do more than copy: values the port cannot take leave the setting as
// it was, settings are refused while a stop or removal is pending, and what reaches the
// adapter is exactly what changed.
#include "control_surface.h"

namespace hk::test {
namespace {

class IoctlSettings : public ControlSurfaceTest {
 protected:
  void SetUp() override {
    ControlSurfaceTest::SetUp();
    if (!HasFatalFailure()) Open();
  }
  template <typename T>
  NTSTATUS Set(ULONG code, const T& value) {
    return Ioctl(code, &value, sizeof value);
  }
};

TEST_F(IoctlSettings, BaudRateAlreadySetIsNotSentAndAnUnencodableOneIsTakenBack) {
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{9600}), STATUS_SUCCESS);
  EXPECT_TRUE(Device().LineSettings().empty()) << "9600 is the rate after start";

  Settings before = Read();
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{230400}), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{0}), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_TRUE(Read() == before);

  EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{38400}), STATUS_SUCCESS);
  auto blocks = Device().LineSettings();
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0], (std::vector<UCHAR>{14, 0, 0, 0, 1, 0, 0, 0}));
}

TEST_F(IoctlSettings, LineControlTheAdapterCannotTakeIsTakenBackWholeAndAnUnchangedOneIsNotSent) {
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 8}), STATUS_SUCCESS);
  EXPECT_TRUE(Device().LineSettings().empty());

  ASSERT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BITS_2, ODD_PARITY, 7}), STATUS_SUCCESS);
  ASSERT_EQ(Device().LineSettings().size(), 1u);
  EXPECT_EQ(Device().LineSettings()[0], (std::vector<UCHAR>{10, 1, 1, 3, 1, 0, 0, 0}));
  Settings before = Read();
  const SERIAL_LINE_CONTROL refused[] = {{STOP_BITS_2, MARK_PARITY, 7},
                                         {STOP_BITS_2, SPACE_PARITY, 8},
                                         {STOP_BITS_1_5, ODD_PARITY, 7},
                                         {STOP_BIT_1, NO_PARITY, 5}};
  for (const auto& line : refused) {
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, line), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Read() == before) << "all three bytes are what they were";
  }
}

TEST_F(IoctlSettings, TimeoutsWithAllThreeReadValuesMaximalAreRefused) {
  SetTimeouts(5, 6, 7, 8, 9);
  Settings before = Read();
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{MAXULONG, MAXULONG, MAXULONG, 1, 2}),
            STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(Read() == before);
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{MAXULONG, MAXULONG, 100, 1, 2}), STATUS_SUCCESS);
  EXPECT_EQ(Ext()->ReadTimeoutMode, 2) << "two maximal values are a valid read mode";
}

TEST_F(IoctlSettings, QueueSizeUpToTheReceiveCapacityIsAcceptedAndNothingIsStored) {
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{800000, 0xFFFFFFFF}), STATUS_SUCCESS);
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{800001, 16}), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Ext()->RxQueueCapacity, 800000u);
  // A size below the capacity is what would show a stored size.
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{4096, 4096}), STATUS_SUCCESS);
  EXPECT_EQ(Ext()->RxQueueCapacity, 800000u);
}

TEST_F(IoctlSettings, HandshakingThePortCannotDoIsRefusedAndChangesNothing) {
  const SERIAL_HANDFLOW good{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 2048, 512};
  const struct {
    const char* what;
    SERIAL_HANDFLOW value;
  } refused[] = {
      {"XoffLimit above the capacity", {SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 2048, 800001}},
      {"XonLimit above the capacity", {SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 800001, 512}},
      {"negative XoffLimit", {SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 2048, -1}},
      {"negative XonLimit", {SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, -1, 512}},
      {"error-character replacement", {SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_ERROR_CHAR, 2048, 512}},
      {"DTR mode 3", {0x03, SERIAL_RTS_CONTROL, 2048, 512}},
      {"undefined ControlHandShake bit", {SERIAL_DTR_CONTROL | 0x04, SERIAL_RTS_CONTROL, 2048, 512}},
      {"undefined FlowReplace bit", {SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | 0x20, 2048, 512}},
  };
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{SERIAL_CTS_HANDSHAKE, 0, 10, 20}), STATUS_SUCCESS);
  Settings before = Read();
  UCHAR flags = Ext()->FlowFlags;
  for (const auto& r : refused) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, r.value), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Read() == before);
    EXPECT_EQ(Ext()->FlowFlags, flags);
  }
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{good.ControlHandShake, good.FlowReplace, 800000, 800000}),
            STATUS_SUCCESS)
      << "the capacity itself is a valid limit";
}

TEST_F(IoctlSettings, SpecialCharactersWithXonEqualToXoffAreRefused) {
  Settings before = Read();
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_CHARS, SERIAL_CHARS{0x1A, 0x3F, 0, '\r', 0x11, 0x11}), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(Read() == before);
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_CHARS, SERIAL_CHARS{0x1A, 0x3F, 0x7F, '\r', 0x11, 0x13}), STATUS_SUCCESS);
  Settings after = Read();
  EXPECT_EQ(after.Chars.EofChar, 0x1A);
  EXPECT_EQ(after.Chars.BreakChar, 0x7F);
  EXPECT_EQ(after.LineBlocks, before.LineBlocks) << "characters are not the adapter's business";
}

// A stop cannot be pending while the port is open through Plug and Play (query-stop is refused
// then), so that case sets the flag the way an accepted query-stop does.
enum class NotReady { RemovalPending, StopPending };

class SettingsWhileNotReady : public IoctlSettings, public ::testing::WithParamInterface<NotReady> {
 protected:
  void Enter() {
    if (GetParam() == NotReady::RemovalPending)
      ASSERT_EQ(pnp::SendPnp(Node(), IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    else
      Ext()->StopPending = TRUE;
  }
  void Leave() {
    if (GetParam() == NotReady::RemovalPending)
      ASSERT_EQ(pnp::SendPnp(Node(), IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    else
      Ext()->StopPending = FALSE;
  }
};

TEST_P(SettingsWhileNotReady, EverySettingIsRefusedAsIfItsBufferWereShortAndReadsStillAnswer) {
  SetTimeouts(1, 2, 3, 4, 5);
  Settings before = Read();
  Enter();
  const struct {
    ULONG code;
    std::vector<UCHAR> record;
  } sets[] = {
      {IOCTL_SERIAL_SET_BAUD_RATE, {0x00, 0xC2, 0x01, 0x00}},  // 115200
      {IOCTL_SERIAL_SET_QUEUE_SIZE, std::vector<UCHAR>(8, 0)},
      {IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BITS_2, EVEN_PARITY, 7}},
      {IOCTL_SERIAL_SET_TIMEOUTS, std::vector<UCHAR>(20, 0)},
      {IOCTL_SERIAL_SET_CHARS, {0, 0, 0, 0, 0x21, 0x23}},
      {IOCTL_SERIAL_SET_HANDFLOW, std::vector<UCHAR>(16, 0)},
  };
  for (const auto& s : sets) {
    SCOPED_TRACE(s.code);
    ULONG returned = 9;
    EXPECT_EQ(Ioctl(s.code, s.record.data(), (ULONG)s.record.size(), nullptr, 0, &returned), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(returned, 0u);
  }
  // The lines cannot be driven, but asking for it is not an error: they stay as open raised them.
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_CLR_DTR, nullptr, 0), STATUS_SUCCESS);
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_CLR_RTS, nullptr, 0), STATUS_SUCCESS);
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_DTR, nullptr, 0), STATUS_SUCCESS);
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_RTS, nullptr, 0), STATUS_SUCCESS);
  EXPECT_TRUE(Read() == before) << "reads answer from the stored state";
  EXPECT_EQ(Ext()->ModemControl & 0x03, 0x03);
  // The event and purge codes have no readiness test.
  ULONG mask = SERIAL_EV_CTS;
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask), STATUS_SUCCESS);
  ULONG purge = SERIAL_PURGE_RXCLEAR;
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_PURGE, &purge, sizeof purge), STATUS_SUCCESS);
  SERIAL_STATUS status{};
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status), STATUS_SUCCESS);
  Leave();
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, sets[0].record.data(), 4), STATUS_SUCCESS);
  EXPECT_EQ(Read().Baud.BaudRate, 115200u);
}

INSTANTIATE_TEST_SUITE_P(Pending, SettingsWhileNotReady,
                         ::testing::Values(NotReady::RemovalPending, NotReady::StopPending),
                         [](const auto& info) {
                           return info.param == NotReady::RemovalPending ? std::string("Removal")
                                                                         : std::string("Stop");
                         });

TEST_F(IoctlSettings, RaisingALineTwiceSendsOneWordAndALineUnderHandshakeIsLeftAlone) {
  // Open's word raised both lines; DTR is dropped first, so that raising it means something.
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_CLR_DTR, nullptr, 0), STATUS_SUCCESS);
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_DTR, nullptr, 0), STATUS_SUCCESS);
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_DTR, nullptr, 0), STATUS_SUCCESS);
  machine().Settle();
  EXPECT_EQ(ModemControlWords(), (std::vector<UCHAR>{0xC3, 0xC2, 0xC3}));
  EXPECT_TRUE(Device().Dtr());

  // DTR under input handshake belongs to flow control: a request for it succeeds and does nothing.
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 10, 10}),
            STATUS_SUCCESS);
  machine().Settle();
  size_t words = ModemControlWords().size();
  const ULONG handshaken[] = {IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_RTS, IOCTL_SERIAL_SET_RTS};
  for (ULONG code : handshaken) EXPECT_EQ(Ioctl(code, nullptr, 0), STATUS_SUCCESS);
  machine().Settle();
  EXPECT_EQ(ModemControlWords().size(), words);
  EXPECT_TRUE(Device().Dtr());
  EXPECT_TRUE(Device().Rts());

  // Transmit toggle owns RTS as well.
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{0, SERIAL_TRANSMIT_TOGGLE, 10, 10}), STATUS_SUCCESS);
  machine().Settle();
  words = ModemControlWords().size();
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_CLR_RTS, nullptr, 0), STATUS_SUCCESS);
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_DTR, nullptr, 0), STATUS_SUCCESS) << "DTR is free again";
  machine().Settle();
  EXPECT_EQ(ModemControlWords().size(), words + 1);
  EXPECT_TRUE(Device().Rts());
  EXPECT_TRUE(Device().Dtr());
}

// Every unit of the transmit stream drives DTR and RTS at the adapter. A write held by flow
// control and released later must not bring back the line state of the moment it was made.
TEST_F(IoctlSettings, ALineLoweredWhileAWriteIsHeldStaysLowWhenTheWriteGoesOut) {
  ASSERT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, 0, 10, 10}),
            STATUS_SUCCESS);
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_RTS, nullptr, 0), STATUS_SUCCESS);
  SetTimeouts(0, 0, 0, 0, 60000);
  auto write = StartWrite(Bytes("late"));
  ASSERT_FALSE(write->Done()) << "held: CTS is off";
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_CLR_RTS, nullptr, 0), STATUS_SUCCESS);
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_CLR_DTR, nullptr, 0), STATUS_SUCCESS);
  machine().Settle();
  ASSERT_FALSE(Device().Rts());
  Device().SetModemInputs(0x01);
  machine().Settle();
  ASSERT_TRUE(write->Done());
  EXPECT_EQ(write->Status(), STATUS_SUCCESS);
  EXPECT_EQ(Device().TakeTransmitted(), Bytes("late"));
  EXPECT_FALSE(Device().Rts()) << "the held write's units raised RTS again";
  EXPECT_FALSE(Device().Dtr());
  ULONG lines = 0xFF;
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_DTRRTS, nullptr, 0, &lines, sizeof lines), STATUS_SUCCESS);
  EXPECT_EQ(lines, 0u) << "what the driver reports is what the adapter has";
}

}  // namespace
}  // namespace hk::test
