// GetCommState and SetCommState: the requests they send, the DCB <-> serial-record mapping,
// and a refused setting that leaves the port as it was.
#include <cstring>

#include "comm_port.h"

namespace hk::test {
namespace {

using namespace win32;

class CommState : public CommPortTest {};

const std::vector<ULONG> kReadSettings = {IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_GET_LINE_CONTROL,
                                          IOCTL_SERIAL_GET_CHARS, IOCTL_SERIAL_GET_HANDFLOW};

std::vector<ULONG> Concat(std::vector<ULONG> a, const std::vector<ULONG>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

SERIAL_HANDFLOW HandflowOf(const std::vector<RecordedIoctl>& requests) {
  SERIAL_HANDFLOW h{};
  for (const auto& r : requests)
    if (r.Code == IOCTL_SERIAL_SET_HANDFLOW && r.Input.size() >= sizeof h) std::memcpy(&h, r.Input.data(), sizeof h);
  return h;
}

TEST_F(CommState, AfterOpenTheDcbShowsTheDefaultsReadWithFourRequests) {
  DCB dcb = State();
  EXPECT_EQ(Codes(), kReadSettings);
  EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(dcb.fBinary, 1u);
  EXPECT_EQ(dcb.fParity, 0u);
  EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_ENABLE);
  EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_ENABLE);
  EXPECT_EQ(dcb.fOutxCtsFlow | dcb.fOutxDsrFlow | dcb.fOutX | dcb.fInX | dcb.fNull | dcb.fErrorChar, 0u);
  EXPECT_EQ(dcb.XonLim, 2048);
  EXPECT_EQ(dcb.XoffLim, 512);
  EXPECT_EQ(dcb.XonChar, 0x11);
  EXPECT_EQ(dcb.XoffChar, 0x13);
  EXPECT_EQ(dcb.EofChar | dcb.ErrorChar | dcb.EvtChar, 0);
}

TEST_F(CommState, SetSendsTheWindowsSequenceAndOnlyAChangedRateReachesTheAdapter) {
  DCB dcb = State();
  Codes();
  dcb.BaudRate = CBR_115200;
  ASSERT_TRUE(SetCommState(Handle(), &dcb)) << GetLastError();
  machine().Settle();
  EXPECT_EQ(Codes(), Concat(kReadSettings, {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_SET_DTR,
                                            IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_CHARS,
                                            IOCTL_SERIAL_SET_HANDFLOW}));
  auto blocks = Device().LineSettings();
  ASSERT_EQ(blocks.size(), 1u) << "8N1 was already set: only the rate goes out";
  EXPECT_EQ(blocks[0], (std::vector<UCHAR>{17, 0, 0, 0, 1, 0, 0, 0}));
  EXPECT_EQ(Device().CurrentUart().Baud, 115200u);
  // The lines that the DCB enables come on, and the loopback plug answers on the inputs.
  EXPECT_TRUE(Device().Dtr());
  EXPECT_TRUE(Device().Rts());
  DWORD modem = 0;
  ASSERT_TRUE(GetCommModemStatus(Handle(), &modem));
  EXPECT_EQ(modem, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);

  DCB back = State();
  EXPECT_EQ(std::memcmp(&back, &dcb, sizeof dcb), 0) << "what was set reads back unchanged";
  ASSERT_TRUE(SetCommState(Handle(), &dcb));
  EXPECT_EQ(Device().LineSettings().size(), 1u) << "setting the same state again sends nothing";
}

TEST_F(CommState, LinesDisabledInTheDcbAreLoweredAndHandshakeLinesAreLeftToTheDriver) {
  DCB dcb = State();
  EscapeCommFunction(Handle(), SETDTR);
  EscapeCommFunction(Handle(), SETRTS);
  Codes();
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  ASSERT_TRUE(SetCommState(Handle(), &dcb));
  machine().Settle();
  EXPECT_EQ(Codes(), Concat(kReadSettings, {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_CLR_DTR,
                                            IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_CHARS,
                                            IOCTL_SERIAL_SET_HANDFLOW}));
  EXPECT_FALSE(Device().Dtr());
  EXPECT_TRUE(Device().Rts()) << "an empty receive buffer lets the peer send";
}

struct Mapping {
  const char* what;
  void (*set)(DCB&);
  ULONG shake;
  ULONG replace;
};

const Mapping kMappings[] = {
    {"nothing", [](DCB&) {}, 0, 0},
    {"fOutxCtsFlow", [](DCB& d) { d.fOutxCtsFlow = 1; }, SERIAL_CTS_HANDSHAKE, 0},
    {"fOutxDsrFlow", [](DCB& d) { d.fOutxDsrFlow = 1; }, SERIAL_DSR_HANDSHAKE, 0},
    {"DTR enable", [](DCB& d) { d.fDtrControl = DTR_CONTROL_ENABLE; }, SERIAL_DTR_CONTROL, 0},
    {"DTR handshake", [](DCB& d) { d.fDtrControl = DTR_CONTROL_HANDSHAKE; }, SERIAL_DTR_HANDSHAKE, 0},
    {"fDsrSensitivity", [](DCB& d) { d.fDsrSensitivity = 1; }, SERIAL_DSR_SENSITIVITY, 0},
    {"fAbortOnError", [](DCB& d) { d.fAbortOnError = 1; }, SERIAL_ERROR_ABORT, 0},
    {"RTS enable", [](DCB& d) { d.fRtsControl = RTS_CONTROL_ENABLE; }, 0, SERIAL_RTS_CONTROL},
    {"RTS handshake", [](DCB& d) { d.fRtsControl = RTS_CONTROL_HANDSHAKE; }, 0, SERIAL_RTS_HANDSHAKE},
    {"RTS toggle", [](DCB& d) { d.fRtsControl = RTS_CONTROL_TOGGLE; }, 0, SERIAL_TRANSMIT_TOGGLE},
    {"fNull", [](DCB& d) { d.fNull = 1; }, 0, SERIAL_NULL_STRIPPING},
    {"fTXContinueOnXoff", [](DCB& d) { d.fTXContinueOnXoff = 1; }, 0, SERIAL_XOFF_CONTINUE},
    {"fOutX", [](DCB& d) { d.fOutX = 1; }, 0, SERIAL_AUTO_TRANSMIT},
    {"fInX", [](DCB& d) { d.fInX = 1; }, 0, SERIAL_AUTO_RECEIVE},
};

TEST_F(CommState, EachDcbFlowFlagBecomesItsHandflowBitAndReadsBack) {
  DCB base = State();
  base.fOutxCtsFlow = base.fOutxDsrFlow = base.fDsrSensitivity = base.fAbortOnError = 0;
  base.fNull = base.fTXContinueOnXoff = base.fOutX = base.fInX = 0;
  for (const Mapping& m : kMappings) {
    SCOPED_TRACE(m.what);
    DCB dcb = base;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.XonLim = 100;
    dcb.XoffLim = 200;
    m.set(dcb);
    Requests();
    ASSERT_TRUE(SetCommState(Handle(), &dcb)) << GetLastError();
    SERIAL_HANDFLOW sent = HandflowOf(Requests());
    EXPECT_EQ(sent.ControlHandShake, m.shake);
    EXPECT_EQ(sent.FlowReplace, m.replace);
    EXPECT_EQ(sent.XonLimit, 100);
    EXPECT_EQ(sent.XoffLimit, 200);
    DCB back = State();
    EXPECT_EQ(std::memcmp(&back, &dcb, sizeof dcb), 0);
  }
}

TEST_F(CommState, CharactersOfTheDcbGoOutWithTheBreakCharacterKept) {
  SERIAL_CHARS before{0, 0, 0x7E, 0, 0x11, 0x13};
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_CHARS, &before, sizeof before), STATUS_SUCCESS);
  DCB dcb = State();
  dcb.XonChar = 0x21;
  dcb.XoffChar = 0x23;
  dcb.EofChar = 0x1A;
  dcb.EvtChar = '\n';
  dcb.ErrorChar = '?';
  Requests();
  ASSERT_TRUE(SetCommState(Handle(), &dcb));
  SERIAL_CHARS sent{};
  for (const auto& r : Requests())
    if (r.Code == IOCTL_SERIAL_SET_CHARS) std::memcpy(&sent, r.Input.data(), sizeof sent);
  EXPECT_EQ(sent.XonChar, 0x21);
  EXPECT_EQ(sent.XoffChar, 0x23);
  EXPECT_EQ(sent.EofChar, 0x1A);
  EXPECT_EQ(sent.EventChar, '\n');
  EXPECT_EQ(sent.ErrorChar, '?');
  EXPECT_EQ(sent.BreakChar, 0x7E) << "a DCB has no break character: the port's own stays";
}

struct Refusal {
  const char* what;
  void (*set)(DCB&);
  DWORD error;
};

const Refusal kRefusals[] = {
    {"rate the adapter cannot encode", [](DCB& d) { d.BaudRate = 230400; }, ERROR_INVALID_FUNCTION},
    {"mark parity", [](DCB& d) { d.Parity = MARKPARITY; }, ERROR_INVALID_PARAMETER},
    {"six data bits", [](DCB& d) { d.ByteSize = 6; }, ERROR_INVALID_PARAMETER},
    {"equal XON and XOFF", [](DCB& d) { d.XoffChar = d.XonChar; }, ERROR_INVALID_PARAMETER},
    {"error-character replacement", [](DCB& d) { d.fErrorChar = 1; }, ERROR_INVALID_PARAMETER},
};

TEST_F(CommState, ARefusedSettingLeavesEveryEarlierOneAsItWas) {
  for (const Refusal& r : kRefusals) {
    SCOPED_TRACE(r.what);
    DCB before = State();
    DCB dcb = before;
    dcb.BaudRate = CBR_19200;  // goes out first, so it must be taken back
    r.set(dcb);
    size_t blocks = Device().LineSettings().size();
    EXPECT_FALSE(SetCommState(Handle(), &dcb));
    EXPECT_EQ(GetLastError(), r.error);
    DCB after = State();
    EXPECT_EQ(std::memcmp(&after, &before, sizeof before), 0);
    EXPECT_EQ(Device().CurrentUart().Baud, 9600u) << "the adapter runs at the old rate again";
    EXPECT_EQ(Device().LineSettings().size() - blocks, r.error == ERROR_INVALID_FUNCTION ? 0u : 2u)
        << "the new rate and then the old one";
  }
}

TEST_F(CommState, AnUndefinedDtrModeIsRefusedBeforeAnythingIsSent) {
  DCB dcb = State();
  Codes();
  dcb.fDtrControl = 3;
  EXPECT_FALSE(SetCommState(Handle(), &dcb));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(Codes().empty());
  EXPECT_FALSE(GetCommState(Handle(), nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(CommState, AClosedHandleIsRefused) {
  HANDLE h = Handle();
  Close();
  DCB dcb{};
  EXPECT_FALSE(GetCommState(h, &dcb));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(SetCommState(h, &dcb));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

class CommStateSynchronous : public CommPortTest {
 protected:
  bool Overlapped() override { return false; }
};

TEST_F(CommStateSynchronous, ASynchronousHandleSetsAndReadsTheSameWay) {
  DCB dcb = State();
  dcb.BaudRate = CBR_57600;
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  dcb.StopBits = TWOSTOPBITS;
  ASSERT_TRUE(SetCommState(Handle(), &dcb)) << GetLastError();
  DCB back = State();
  EXPECT_EQ(back.BaudRate, 57600u);
  EXPECT_EQ(back.ByteSize, 7);
  EXPECT_EQ(back.Parity, EVENPARITY);
  EXPECT_EQ(back.StopBits, TWOSTOPBITS);
  EXPECT_EQ(back.fParity, 1u);
  auto uart = Device().CurrentUart();
  EXPECT_EQ(uart.Baud, 57600u);
  EXPECT_EQ(uart.DataBits, 7);
  EXPECT_EQ(uart.Parity, 'E');
  EXPECT_EQ(uart.StopBits, 2);
}

}  // namespace
}  // namespace hk::test
