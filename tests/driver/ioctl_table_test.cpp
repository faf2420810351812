// The serial device-control table code by code: the buffer each code needs, what it reports,
// codes that are accepted without effect, and codes that are not the port's.
#include "control_surface.h"

namespace hk::test {
namespace {

class IoctlTable : public ControlSurfaceTest {
 protected:
  void SetUp() override {
    ControlSurfaceTest::SetUp();
    if (!HasFatalFailure()) Open();
  }
};

struct OutputCode {
  const char* name;
  ULONG code;
  ULONG size;
};

const OutputCode kOutputCodes[] = {
    {"GET_TIMEOUTS", IOCTL_SERIAL_GET_TIMEOUTS, 20},     {"GET_WAIT_MASK", IOCTL_SERIAL_GET_WAIT_MASK, 4},
    {"GET_BAUD_RATE", IOCTL_SERIAL_GET_BAUD_RATE, 4},    {"GET_LINE_CONTROL", IOCTL_SERIAL_GET_LINE_CONTROL, 3},
    {"GET_CHARS", IOCTL_SERIAL_GET_CHARS, 6},            {"GET_HANDFLOW", IOCTL_SERIAL_GET_HANDFLOW, 16},
    {"GET_MODEMSTATUS", IOCTL_SERIAL_GET_MODEMSTATUS, 4}, {"GET_COMMSTATUS", IOCTL_SERIAL_GET_COMMSTATUS, 20},
    {"GET_PROPERTIES", IOCTL_SERIAL_GET_PROPERTIES, 64}, {"GET_DTRRTS", IOCTL_SERIAL_GET_DTRRTS, 4},
    {"CONFIG_SIZE", IOCTL_SERIAL_CONFIG_SIZE, 4},        {"GET_STATS", IOCTL_SERIAL_GET_STATS, 24},
    {"GET_MODEM_CONTROL", IOCTL_SERIAL_GET_MODEM_CONTROL, 4},
};

TEST_F(IoctlTable, EachGetCodeRefusesAShortOutputBufferAndReportsExactlyItsRecord) {
  for (const OutputCode& c : kOutputCodes) {
    SCOPED_TRACE(c.name);
    std::vector<UCHAR> out(c.size + 8, 0xEE);
    ULONG returned = 99;
    EXPECT_EQ(Ioctl(c.code, nullptr, 0, out.data(), c.size - 1, &returned), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(Ioctl(c.code, nullptr, 0, out.data(), c.size, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, c.size);
    // A larger buffer still gets the record and no more.
    EXPECT_EQ(Ioctl(c.code, nullptr, 0, out.data(), c.size + 8, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, c.size);
  }
}

TEST_F(IoctlTable, WaitOnMaskRefusesAShortOutputBufferBeforeLookingAtTheMask) {
  ULONG mask = SERIAL_EV_RXCHAR;
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask), STATUS_SUCCESS);
  Device().ReceiveFromLine(Bytes("a"));
  machine().Settle();
  ULONG events = 0;
  ULONG returned = 9;
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, 3, &returned), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, 4, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 4u);
  EXPECT_EQ(events, (ULONG)SERIAL_EV_RXCHAR) << "the short request did not consume the event";
}

struct InputCode {
  const char* name;
  ULONG code;
  std::vector<UCHAR> record;  // a valid record of exactly the size the code needs
};

template <typename T>
std::vector<UCHAR> Record(const T& value) {
  const UCHAR* p = reinterpret_cast<const UCHAR*>(&value);
  return std::vector<UCHAR>(p, p + sizeof value);
}

std::vector<InputCode> InputCodes() {
  return {
      {"SET_BAUD_RATE", IOCTL_SERIAL_SET_BAUD_RATE, Record(SERIAL_BAUD_RATE{19200})},
      {"SET_QUEUE_SIZE", IOCTL_SERIAL_SET_QUEUE_SIZE, Record(SERIAL_QUEUE_SIZE{4096, 4096})},
      {"SET_LINE_CONTROL", IOCTL_SERIAL_SET_LINE_CONTROL, Record(SERIAL_LINE_CONTROL{STOP_BITS_2, EVEN_PARITY, 7})},
      {"SET_TIMEOUTS", IOCTL_SERIAL_SET_TIMEOUTS, Record(SERIAL_TIMEOUTS{10, 20, 30, 40, 50})},
      {"SET_WAIT_MASK", IOCTL_SERIAL_SET_WAIT_MASK, Record(ULONG(SERIAL_EV_RXFLAG))},
      {"PURGE", IOCTL_SERIAL_PURGE, Record(ULONG(SERIAL_PURGE_RXCLEAR))},
      {"SET_CHARS", IOCTL_SERIAL_SET_CHARS, Record(SERIAL_CHARS{0x1A, 0, 0, '\n', 0x11, 0x13})},
      {"SET_HANDFLOW", IOCTL_SERIAL_SET_HANDFLOW,
       Record(SERIAL_HANDFLOW{SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL, 100, 200})},
  };
}

TEST_F(IoctlTable, EachSetCodeRefusesAShortInputBufferAndChangesNothing) {
  for (const InputCode& c : InputCodes()) {
    SCOPED_TRACE(c.name);
    Settings before = Read();
    ULONG returned = 9;
    EXPECT_EQ(Ioctl(c.code, c.record.data(), (ULONG)c.record.size() - 1, nullptr, 0, &returned),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(returned, 0u);
    EXPECT_TRUE(Read() == before);
    EXPECT_EQ(Ioctl(c.code, c.record.data(), (ULONG)c.record.size(), nullptr, 0, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 0u);
  }
  Settings after = Read();
  EXPECT_EQ(after.Baud.BaudRate, 19200u);
  EXPECT_EQ(after.Line.WordLength, 7);
  EXPECT_EQ(after.Timeouts.WriteTotalTimeoutConstant, 50u);
  EXPECT_EQ(after.WaitMask, (ULONG)SERIAL_EV_RXFLAG);
  EXPECT_EQ(after.Chars.EventChar, '\n');
  EXPECT_EQ(after.Handflow.XoffLimit, 200);
}

TEST_F(IoctlTable, CodesAcceptedWithoutEffectSucceedAndTellTheAdapterNothing) {
  const ULONG noOps[] = {IOCTL_SERIAL_SET_BREAK_ON,    IOCTL_SERIAL_SET_BREAK_OFF,    IOCTL_SERIAL_IMMEDIATE_CHAR,
                         IOCTL_SERIAL_RESET_DEVICE,    IOCTL_SERIAL_XOFF_COUNTER,     IOCTL_SERIAL_LSRMST_INSERT,
                         IOCTL_SERIAL_SET_MODEM_CONTROL, IOCTL_SERIAL_SET_FIFO_CONTROL};
  Settings before = Read();
  size_t controls = Device().ControlRequests().size();
  size_t transfers = Device().BulkOutTransfers().size();
  for (ULONG code : noOps) {
    SCOPED_TRACE(code);
    UCHAR in[8] = {'A', 1, 2, 3, 4, 5, 6, 7};
    ULONG returned = 9;
    EXPECT_EQ(Ioctl(code, in, sizeof in, nullptr, 0, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(Ioctl(code, nullptr, 0), STATUS_SUCCESS) << "none of them needs a buffer";
  }
  EXPECT_TRUE(Read() == before);
  EXPECT_EQ(Device().ControlRequests().size(), controls);
  EXPECT_EQ(Device().BulkOutTransfers().size(), transfers);
  EXPECT_TRUE(Device().TakeTransmitted().empty()) << "no immediate character, no break";
}

TEST_F(IoctlTable, ClearStatsClearsTheStatisticsAndNothingElse) {
  Device().ReceiveFromLine({'a', 'b', 'c'});
  machine().Settle();
  SERIALPERF_STATS stats{};
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof stats), STATUS_SUCCESS);
  ASSERT_EQ(stats.ReceivedCount, 3u) << "the statistics must count something for the clearing to show";
  Settings before = Read();
  size_t controls = Device().ControlRequests().size();
  size_t transfers = Device().BulkOutTransfers().size();
  UCHAR in[8] = {'A', 1, 2, 3, 4, 5, 6, 7};
  ULONG returned = 9;
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_CLEAR_STATS, in, sizeof in, nullptr, 0, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_CLEAR_STATS, nullptr, 0), STATUS_SUCCESS) << "it needs no buffer";
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof stats), STATUS_SUCCESS);
  EXPECT_EQ(stats.ReceivedCount, 0u);
  EXPECT_EQ(stats.TransmittedCount, 0u);
  EXPECT_TRUE(Read() == before);
  EXPECT_EQ(Device().ControlRequests().size(), controls);
  EXPECT_EQ(Device().BulkOutTransfers().size(), transfers);
}

TEST_F(IoctlTable, CodesThatAreNotThePortsAreRefusedAsInvalidDeviceRequests) {
  const std::pair<const char*, ULONG> codes[] = {
      {"another device type", 0x2D1400},
      {"function 0", CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0, METHOD_BUFFERED, FILE_ANY_ACCESS)},
      {"function 40", CTL_CODE(FILE_DEVICE_SERIAL_PORT, 40, METHOD_BUFFERED, FILE_ANY_ACCESS)},
      {"function 4095", CTL_CODE(FILE_DEVICE_SERIAL_PORT, 4095, METHOD_BUFFERED, FILE_ANY_ACCESS)},
      {"baud rate as METHOD_NEITHER", CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, METHOD_NEITHER, FILE_ANY_ACCESS)},
      {"baud rate as METHOD_IN_DIRECT", CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, METHOD_IN_DIRECT, FILE_ANY_ACCESS)},
      {"baud rate with read access", CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, METHOD_BUFFERED, FILE_READ_ACCESS)},
      {"GET_COMMCONFIG", IOCTL_SERIAL_GET_COMMCONFIG},
      {"SET_COMMCONFIG", IOCTL_SERIAL_SET_COMMCONFIG},
  };
  Settings before = Read();
  for (const auto& [name, code] : codes) {
    SCOPED_TRACE(name);
    SERIAL_BAUD_RATE rate{115200};
    ULONG out[16];
    ULONG returned = 9;
    EXPECT_EQ(Ioctl(code, &rate, sizeof rate, out, sizeof out, &returned), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(returned, 0u);
  }
  EXPECT_TRUE(Read() == before);
}

TEST_F(IoctlTable, DtrRtsAndModemControlReportTheOutputLinesInFourBytes) {
  ULONG lines = 0xFFFF;
  ULONG returned = 9;
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_DTRRTS, nullptr, 0, &lines, 3, &returned), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_MODEM_CONTROL, nullptr, 0, &lines, 3, &returned), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_DTRRTS, nullptr, 0, &lines, 4, &returned), STATUS_SUCCESS);
  EXPECT_EQ(lines, (ULONG)(SERIAL_DTR_STATE | SERIAL_RTS_STATE)) << "open raises both lines";

  ASSERT_EQ(Ioctl(IOCTL_SERIAL_CLR_RTS, nullptr, 0), STATUS_SUCCESS);
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_DTR, nullptr, 0), STATUS_SUCCESS);
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_DTRRTS, nullptr, 0, &lines, 4), STATUS_SUCCESS);
  EXPECT_EQ(lines, (ULONG)SERIAL_DTR_STATE);
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_MODEM_CONTROL, nullptr, 0, &lines, 4), STATUS_SUCCESS);
  EXPECT_EQ(lines, (ULONG)SERIAL_IOC_MCR_DTR);

  ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_RTS, nullptr, 0), STATUS_SUCCESS);
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_CLR_DTR, nullptr, 0), STATUS_SUCCESS);
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_DTRRTS, nullptr, 0, &lines, 4), STATUS_SUCCESS);
  EXPECT_EQ(lines, (ULONG)SERIAL_RTS_STATE);
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_MODEM_CONTROL, nullptr, 0, &lines, 4), STATUS_SUCCESS);
  EXPECT_EQ(lines, (ULONG)SERIAL_IOC_MCR_RTS);
  machine().Settle();
  EXPECT_FALSE(Device().Dtr());
  EXPECT_TRUE(Device().Rts());
}

TEST_F(IoctlTable, PropertiesNeedSixtyFourBytesAndDescribeTheAdapter) {
  std::vector<UCHAR> buffer(64, 0xEE);
  ULONG returned = 9;
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, buffer.data(), 63, &returned), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(returned, 0u);
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, buffer.data(), 64, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 64u);
  SERIAL_COMMPROP p;
  std::memcpy(&p, buffer.data(), sizeof p);
  EXPECT_EQ(p.PacketLength, 64);
  EXPECT_EQ(p.PacketVersion, 2);
  EXPECT_EQ(p.ServiceMask, (ULONG)SERIAL_SP_SERIALCOMM);
  EXPECT_EQ(p.MaxTxQueue, 0u);
  EXPECT_EQ(p.MaxRxQueue, 0u);
  EXPECT_EQ(p.MaxBaud, (ULONG)SERIAL_BAUD_USER);
  EXPECT_EQ(p.ProvSubType, (ULONG)SERIAL_SP_RS232);
  EXPECT_EQ(p.ProvCapabilities, 0xFFu);
  EXPECT_EQ(p.SettableParams, 0x7Fu);
  EXPECT_EQ(p.SettableBaud, 0x10067B7Au);
  EXPECT_EQ(p.SettableData, 0x000C);
  EXPECT_EQ(p.SettableStopParity, 0x0705);
  EXPECT_EQ(p.CurrentTxQueue, 0u);
  EXPECT_EQ(p.CurrentRxQueue, 4096u);
  EXPECT_EQ(p.Reserved1 | p.ProvSpec1 | p.ProvSpec2 | p.ProvChar[0], 0u) << "everything else is zero";
  for (size_t i = offsetof(SERIAL_COMMPROP, ProvChar) + 2; i < 64; ++i) EXPECT_EQ(buffer[i], 0) << i;
}

TEST_F(IoctlTable, ConfigSizeIsZeroAndStatisticsCountOnlyCharactersMoved) {
  ULONG size = 77;
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_CONFIG_SIZE, nullptr, 0, &size, sizeof size), STATUS_SUCCESS);
  EXPECT_EQ(size, 0u);

  SetTimeouts(0, 0, 0);
  auto write = StartWrite(Bytes("sixteen chars..."));
  ASSERT_TRUE(write->Done());
  Device().ReceiveFromLine(Bytes("ten chars!"));
  Device().ReceiveWithLineError('#');
  machine().Settle();
  auto read = StartRead(11);
  ASSERT_TRUE(read->Done());
  SERIALPERF_STATS stats{};
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof stats), STATUS_SUCCESS);
  EXPECT_EQ(stats.TransmittedCount, 16u);
  EXPECT_EQ(stats.ReceivedCount, 11u);
  EXPECT_EQ(stats.FrameErrorCount, 0u) << "a line error is reported, not counted";
  EXPECT_EQ(stats.ParityErrorCount, 0u);
  EXPECT_EQ(stats.SerialOverrunErrorCount, 0u);
  EXPECT_EQ(stats.BufferOverrunErrorCount, 0u);

  ASSERT_EQ(Ioctl(IOCTL_SERIAL_CLEAR_STATS, nullptr, 0), STATUS_SUCCESS);
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof stats), STATUS_SUCCESS);
  EXPECT_EQ(stats.TransmittedCount + stats.ReceivedCount, 0u);

  // The counters outlive a close: only an explicit clear resets them.
  write = StartWrite(Bytes("abc"));
  ASSERT_TRUE(write->Done());
  Close();
  Open();
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof stats), STATUS_SUCCESS);
  EXPECT_EQ(stats.TransmittedCount, 3u);
}

}  // namespace
}  // namespace hk::test
