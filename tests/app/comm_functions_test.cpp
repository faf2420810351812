// The other communications functions: time-outs, event masks and waits, errors and queue
// status, purging, the escape functions and the modem lines, properties and queue sizes.
#include "comm_port.h"

namespace hk::test {
namespace {

using namespace win32;

class CommFunctions : public CommPortTest {};

TEST_F(CommFunctions, TimeoutsRoundTripAndAllMaximalReadTimeoutsAreRefused) {
  COMMTIMEOUTS set{MAXDWORD, 0, 250, 3, 40};
  ASSERT_TRUE(SetCommTimeouts(Handle(), &set));
  COMMTIMEOUTS got{};
  ASSERT_TRUE(GetCommTimeouts(Handle(), &got));
  EXPECT_EQ(std::memcmp(&got, &set, sizeof set), 0);
  EXPECT_EQ(Codes(), (std::vector<ULONG>{IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_GET_TIMEOUTS}));

  COMMTIMEOUTS bad{MAXDWORD, MAXDWORD, MAXDWORD, 0, 0};
  EXPECT_FALSE(SetCommTimeouts(Handle(), &bad));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(GetCommTimeouts(Handle(), &got));
  EXPECT_EQ(std::memcmp(&got, &set, sizeof set), 0);
}

TEST_F(CommFunctions, WaitCommEventPendsUntilAWatchedEventAndReportsIt) {
  DWORD events = 0xDEAD;
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_FALSE(WaitCommEvent(Handle(), &events, &ov)) << "no mask yet";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  ASSERT_TRUE(SetCommMask(Handle(), EV_RXCHAR | EV_TXEMPTY));
  DWORD mask = 0;
  ASSERT_TRUE(GetCommMask(Handle(), &mask));
  EXPECT_EQ(mask, EV_RXCHAR | EV_TXEMPTY);

  EXPECT_FALSE(WaitCommEvent(Handle(), &events, &ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  Device().ReceiveFromLine(Bytes("x"));
  machine().Settle();
  DWORD bytes = 0;
  ASSERT_TRUE(GetOverlappedResult(Handle(), &ov, &bytes, FALSE));
  EXPECT_EQ(bytes, 4u);
  EXPECT_EQ(events, EV_RXCHAR);

  // A new mask ends the pending wait with no events.
  events = 0xDEAD;
  EXPECT_FALSE(WaitCommEvent(Handle(), &events, &ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  ASSERT_TRUE(SetCommMask(Handle(), EV_CTS));
  machine().Settle();
  ASSERT_TRUE(GetOverlappedResult(Handle(), &ov, &bytes, FALSE));
  EXPECT_EQ(events, 0u);
  CloseHandle(ov.hEvent);
}

TEST_F(CommFunctions, AWaitSeesTheCtsChangeThatRaisingRtsMakesThroughTheLoopback) {
  // Open raised both lines: they are dropped first, and the loopback's changes taken.
  ASSERT_TRUE(SetCommMask(Handle(), EV_CTS | EV_DSR));
  ASSERT_TRUE(EscapeCommFunction(Handle(), CLRDTR));
  ASSERT_TRUE(EscapeCommFunction(Handle(), CLRRTS));
  machine().Settle();
  DWORD events = 0;
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(WaitCommEvent(Handle(), &events, &ov));
  EXPECT_EQ(events, (DWORD)(EV_CTS | EV_DSR));
  events = 0;
  EXPECT_FALSE(WaitCommEvent(Handle(), &events, &ov));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  ASSERT_TRUE(EscapeCommFunction(Handle(), SETRTS));
  machine().Settle();
  DWORD bytes = 0;
  ASSERT_TRUE(GetOverlappedResult(Handle(), &ov, &bytes, FALSE)) << GetLastError();
  EXPECT_EQ(events, EV_CTS);
  DWORD modem = 0;
  ASSERT_TRUE(GetCommModemStatus(Handle(), &modem));
  EXPECT_EQ(modem, MS_CTS_ON);
  CloseHandle(ov.hEvent);
}

TEST_F(CommFunctions, EscapeFunctionsDriveTheLinesAndTheLoopbackReflectsThem) {
  struct Step {
    DWORD function;
    ULONG code;
    bool dtr, rts;
    DWORD modem;
  } steps[] = {
      {SETDTR, IOCTL_SERIAL_SET_DTR, true, false, MS_DSR_ON | MS_RLSD_ON},
      {SETRTS, IOCTL_SERIAL_SET_RTS, true, true, MS_DSR_ON | MS_RLSD_ON | MS_CTS_ON},
      {CLRDTR, IOCTL_SERIAL_CLR_DTR, false, true, MS_CTS_ON},
      {CLRRTS, IOCTL_SERIAL_CLR_RTS, false, false, 0},
  };
  // Open raised both lines; the steps start from both off.
  ASSERT_TRUE(EscapeCommFunction(Handle(), CLRDTR));
  ASSERT_TRUE(EscapeCommFunction(Handle(), CLRRTS));
  machine().Settle();
  Codes();
  for (const Step& s : steps) {
    SCOPED_TRACE(s.function);
    ASSERT_TRUE(EscapeCommFunction(Handle(), s.function));
    machine().Settle();
    EXPECT_EQ(Device().Dtr(), s.dtr);
    EXPECT_EQ(Device().Rts(), s.rts);
    DWORD modem = 0xFF;
    ASSERT_TRUE(GetCommModemStatus(Handle(), &modem));
    EXPECT_EQ(modem, s.modem);
    EXPECT_EQ(Codes(), (std::vector<ULONG>{s.code, IOCTL_SERIAL_GET_MODEMSTATUS}));
  }
  const std::pair<DWORD, ULONG> others[] = {{SETXOFF, IOCTL_SERIAL_SET_XOFF},     {SETXON, IOCTL_SERIAL_SET_XON},
                                            {SETBREAK, IOCTL_SERIAL_SET_BREAK_ON}, {CLRBREAK, IOCTL_SERIAL_SET_BREAK_OFF},
                                            {RESETDEV, IOCTL_SERIAL_RESET_DEVICE}};
  for (const auto& [function, code] : others) {
    EXPECT_TRUE(EscapeCommFunction(Handle(), function));
    EXPECT_EQ(Codes(), std::vector<ULONG>{code});
  }
  EXPECT_FALSE(EscapeCommFunction(Handle(), 42));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(Codes().empty());
}

TEST_F(CommFunctions, ClearCommErrorReportsLineErrorsOnceAndTheQueueAmounts) {
  Device().ReceiveWithLineError('!');
  machine().Settle();
  auto read = StartRead(1);
  ASSERT_TRUE(read->Done());
  DWORD errors = 0;
  COMSTAT status{};
  ASSERT_TRUE(ClearCommError(Handle(), &errors, &status));
  EXPECT_EQ(errors, CE_FRAME | CE_RXPARITY);
  ASSERT_TRUE(ClearCommError(Handle(), &errors, &status));
  EXPECT_EQ(errors, 0u) << "reading the errors clears them";

  Device().ReceiveFromLine(Bytes("twelve chars"));
  machine().Settle();
  ASSERT_TRUE(ClearCommError(Handle(), &errors, &status));
  EXPECT_EQ(status.cbInQue, 12u);
  EXPECT_EQ(status.cbOutQue, 0u);
  EXPECT_EQ(status.fCtsHold | status.fDsrHold | status.fXoffHold | status.fEof | status.fTxim, 0u);
  EXPECT_TRUE(ClearCommError(Handle(), nullptr, nullptr));

  ASSERT_TRUE(PurgeComm(Handle(), PURGE_RXCLEAR));
  ASSERT_TRUE(ClearCommError(Handle(), &errors, &status));
  EXPECT_EQ(status.cbInQue, 0u);
  EXPECT_FALSE(PurgeComm(Handle(), 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(CommFunctions, AWriteHeldForCtsShowsAsCtsHoldAndGoesWhenRtsBringsCtsBack) {
  DCB dcb = State();
  dcb.fOutxCtsFlow = 1;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  ASSERT_TRUE(SetCommState(Handle(), &dcb));
  machine().Settle();  // RTS, raised at open, drops, and the loopback takes CTS with it
  COMMTIMEOUTS t{0, 0, 0, 0, 5000};
  ASSERT_TRUE(SetCommTimeouts(Handle(), &t));
  auto write = StartWrite(Bytes("held"));
  EXPECT_FALSE(write->Done());
  DWORD errors = 0;
  COMSTAT status{};
  ASSERT_TRUE(ClearCommError(Handle(), &errors, &status));
  EXPECT_EQ(status.fCtsHold, 1u);
  EXPECT_EQ(status.fDsrHold, 0u);
  ASSERT_TRUE(EscapeCommFunction(Handle(), SETRTS));
  machine().Settle();
  ASSERT_TRUE(write->Done());
  EXPECT_EQ(write->Status(), STATUS_SUCCESS);
  EXPECT_EQ(Device().TakeTransmitted(), Bytes("held"));
  ASSERT_TRUE(ClearCommError(Handle(), &errors, &status));
  EXPECT_EQ(status.fCtsHold, 0u);
}

TEST_F(CommFunctions, PropertiesDescribeTheAdapter) {
  COMMPROP p{};
  ASSERT_TRUE(GetCommProperties(Handle(), &p));
  EXPECT_EQ(p.wPacketLength, 64);
  EXPECT_EQ(p.wPacketVersion, 2);
  EXPECT_EQ(p.dwServiceMask, 1u);
  EXPECT_EQ(p.dwMaxBaud, 0x10000000u);
  EXPECT_EQ(p.dwProvSubType, 1u);
  EXPECT_EQ(p.dwProvCapabilities, 0xFFu);
  EXPECT_EQ(p.dwSettableParams, 0x7Fu);
  EXPECT_EQ(p.dwSettableBaud, 0x10067B7Au);
  EXPECT_EQ(p.wSettableData, 0x000C);
  EXPECT_EQ(p.wSettableStopParity, 0x0705);
  EXPECT_EQ(p.dwCurrentRxQueue, 4096u);
  EXPECT_EQ(p.dwMaxTxQueue | p.dwMaxRxQueue | p.dwCurrentTxQueue | p.dwProvSpec1 | p.dwProvSpec2, 0u);
}

TEST_F(CommFunctions, SetupCommAcceptsAQueueUpToTheBufferAndTransmitCommCharIsAccepted) {
  EXPECT_TRUE(SetupComm(Handle(), 800000, 4096));
  EXPECT_FALSE(SetupComm(Handle(), 800001, 4096));
  EXPECT_EQ(GetLastError(), ERROR_NO_SYSTEM_RESOURCES);
  auto requests = Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].Code, (ULONG)IOCTL_SERIAL_SET_QUEUE_SIZE);
  EXPECT_EQ(requests[0].Input.size(), sizeof(SERIAL_QUEUE_SIZE));

  EXPECT_TRUE(TransmitCommChar(Handle(), 'Z'));
  requests = Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].Code, (ULONG)IOCTL_SERIAL_IMMEDIATE_CHAR);
  EXPECT_EQ(requests[0].Input, Bytes("Z"));
  machine().Settle();
  EXPECT_TRUE(Device().TakeTransmitted().empty()) << "the adapter has no immediate-character path";
}

}  // namespace
}  // namespace hk::test
