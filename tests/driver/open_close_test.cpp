// Opening and closing the port: exactly what a new open resets and what it keeps, one open at
// a time (by the I/O manager and by the driver itself), everything outstanding ended before the
// adapter is told of the close, and nothing taken once the port is closed.
#include <atomic>

#include "data_flow.h"
#include "io/io_manager.h"

namespace hk::test {
namespace {

using namespace win32;

class PortOpenClose : public DataFlowTest {
 protected:
  size_t Requests(UCHAR request) {
    size_t n = 0;
    for (const auto& r : Device().ControlRequests()) n += r.Setup.Request == request;
    return n;
  }
  std::string InterfacePath() {
    auto names = io::EnabledInterfaces(kPortInterface);
    return names.empty() ? std::string() : Ascii(names.front());
  }
};

TEST_F(PortOpenClose, ReopenResetsThePortButKeepsLineSettingsAndTimeouts) {
  Open();
  SERIAL_BAUD_RATE baud{19200};
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud), STATUS_SUCCESS);
  SetTimeouts(5, 6, 7, 8, 9);
  SERIAL_CHARS chars{1, 2, 3, 4, 0x21, 0x23};
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_CHARS, &chars, sizeof chars), STATUS_SUCCESS);
  SetHandflow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT, 100, 200);
  ASSERT_EQ(SetLine(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
  ASSERT_EQ(SetLine(IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS);
  SetWaitMask(SERIAL_EV_RXCHAR);
  Receive(Bytes("left over"));
  Device().SetModemInputs(0x01);
  auto write = StartWrite(Bytes("0123456789"));
  ASSERT_TRUE(write->Done());
  ASSERT_LT(Ext()->TxCredit, 256);
  Close();
  ASSERT_EQ(Requests(adapter::kRequestOpen), 1u);
  ASSERT_EQ(Requests(adapter::kRequestClose), 1u);

  size_t transfersBefore = Device().BulkOutTransfers().size();
  Open();
  EXPECT_EQ(Requests(adapter::kRequestOpen), 2u) << "the adapter is told of every open";
  EXPECT_EQ(Ext()->ModemControl, 0xA3);
  ULONG lines = 0xFF;
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_DTRRTS, nullptr, 0, &lines, sizeof lines), STATUS_SUCCESS);
  EXPECT_EQ(lines, (ULONG)(SERIAL_DTR_STATE | SERIAL_RTS_STATE)) << "DTR and RTS raised again";
  auto transfers = Device().BulkOutTransfers();
  ASSERT_EQ(transfers.size(), transfersBefore + 1) << "open sends one line change";
  EXPECT_EQ(UnitsText({transfers.back()}), "C3 00");
  SERIAL_STATUS status = CommStatus();
  EXPECT_EQ(status.AmountInInQueue, 0u);
  EXPECT_EQ(status.AmountInOutQueue, 0u);
  EXPECT_EQ(status.HoldReasons, 0u);
  EXPECT_EQ(Ext()->TxCredit, 254) << "256, less open's line unit";
  EXPECT_EQ(Ext()->FlowFlags, 0);
  EXPECT_EQ(Ext()->ReadTimeoutMode, 0);
  ULONG mask = 0xFF;
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &mask, sizeof mask), STATUS_SUCCESS);
  EXPECT_EQ(mask, 0u);

  SERIAL_BAUD_RATE keptBaud{};
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &keptBaud, sizeof keptBaud), STATUS_SUCCESS);
  EXPECT_EQ(keptBaud.BaudRate, 19200u);
  SERIAL_TIMEOUTS keptTimeouts{};
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &keptTimeouts, sizeof keptTimeouts), STATUS_SUCCESS);
  EXPECT_EQ(keptTimeouts.ReadIntervalTimeout, 5u);
  EXPECT_EQ(keptTimeouts.WriteTotalTimeoutConstant, 9u);
  SERIAL_CHARS defaults{};
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_CHARS, nullptr, 0, &defaults, sizeof defaults), STATUS_SUCCESS);
  EXPECT_EQ(defaults.XonChar, 0x11);
  EXPECT_EQ(defaults.XoffChar, 0x13);
  EXPECT_EQ(defaults.EventChar, 0);
  SERIAL_HANDFLOW handflow{};
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &handflow, sizeof handflow), STATUS_SUCCESS);
  EXPECT_EQ(handflow.ControlHandShake, (ULONG)SERIAL_DTR_CONTROL);
  EXPECT_EQ(handflow.FlowReplace, (ULONG)SERIAL_RTS_CONTROL);
  EXPECT_EQ(handflow.XonLimit, 2048);
  EXPECT_EQ(handflow.XoffLimit, 512);

  SetTimeouts(MAXULONG, 0, 0);
  auto read = StartRead(20);
  ASSERT_TRUE(read->Done());
  EXPECT_EQ(read->Bytes(), 0u) << "characters of the earlier open are gone";
  auto fresh = StartWrite(Bytes("new"));
  ASSERT_TRUE(fresh->Done());
  EXPECT_EQ(fresh->Status(), STATUS_SUCCESS);
  EXPECT_EQ(UnitsText({Device().BulkOutTransfers().back()}), "A3 6E A3 65 A3 77");
}

TEST_F(PortOpenClose, OnlyOneOpenAtATime) {
  Open();
  HANDLE second = CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
  EXPECT_EQ(second, INVALID_HANDLE_VALUE) << "the I/O manager keeps the exclusive port to one open";
  EXPECT_EQ(GetLastNtStatus(), STATUS_ACCESS_DENIED);

  // The device interface names the bus's device object, which is not exclusive: the driver's
  // own check has to refuse this one.
  std::string path = InterfacePath();
  ASSERT_FALSE(path.empty());
  HANDLE third = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
  EXPECT_EQ(third, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastNtStatus(), STATUS_ACCESS_DENIED);
  EXPECT_EQ(Requests(adapter::kRequestOpen), 1u);

  // The first open is untouched.
  EXPECT_TRUE(Ext()->DeviceOpen);
  auto write = StartWrite(Bytes("still"));
  ASSERT_TRUE(write->Done());
  EXPECT_EQ(write->Status(), STATUS_SUCCESS);
  Receive(Bytes("here"));
  SetTimeouts(MAXULONG, 0, 0);
  auto read = StartRead(10);
  ASSERT_TRUE(read->Done());
  EXPECT_EQ(read->Bytes(), 4u);
  Close();

  HANDLE byInterface = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(byInterface, INVALID_HANDLE_VALUE) << "once closed, the port opens by either name";
  CloseHandle(byInterface);
  machine().Settle();
}

TEST_F(PortOpenClose, OpenRefusedByTheAdapterLeavesThePortClosedUntilTheNextTry) {
  Device().FailControl(adapter::kRequestOpen, USBD_STATUS_STALL_PID);
  HANDLE refused = CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
  EXPECT_EQ(refused, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(NT_SUCCESS(GetLastNtStatus()));
  EXPECT_FALSE(Ext()->DeviceOpen);
  Open();
  EXPECT_TRUE(Ext()->DeviceOpen);
  EXPECT_EQ(Requests(adapter::kRequestOpen), 2u);
  auto write = StartWrite(Bytes("ok"));
  ASSERT_TRUE(write->Done());
  EXPECT_EQ(write->Status(), STATUS_SUCCESS);
}

TEST_F(PortOpenClose, CloseEndsReadWriteAndWaitBeforeTellingTheAdapter) {
  Open();
  SetTimeouts(0, 0, 0, 0, 60000);
  SetHandflow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL);
  SetWaitMask(SERIAL_EV_RING);
  auto read = StartRead(10);
  auto write = StartWrite(Bytes("held"));
  auto wait = StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
  ASSERT_FALSE(read->Done());
  ASSERT_FALSE(write->Done());
  ASSERT_FALSE(wait->Done());

  struct Seen {
    std::atomic<bool> CloseSent{false};
    std::atomic<bool> AllEndedFirst{false};
  };
  auto seen = std::make_shared<Seen>();
  const Pending* pending[] = {read.get(), write.get(), wait.get()};
  Bus().AddObserver([seen, pending](const usb::UrbEvent& e) {
    if (e.Completion || !e.HasSetup || e.Setup[1] != adapter::kRequestClose) return;
    bool ended = true;
    for (const Pending* p : pending) ended = ended && __atomic_load_n(&p->Ov.Internal, __ATOMIC_ACQUIRE) != STATUS_PENDING;
    seen->AllEndedFirst = ended;
    seen->CloseSent = true;
  });
  Close();
  ASSERT_TRUE(seen->CloseSent);
  EXPECT_TRUE(seen->AllEndedFirst) << "the adapter heard of the close before every request had ended";
  for (const Pending* p : pending) {
    ASSERT_TRUE(p->Done());
    EXPECT_EQ(p->Status(), STATUS_CANCELLED);
    EXPECT_EQ(p->Bytes(), 0u);
  }
  EXPECT_TRUE(DataCharacters(Device().BulkOutTransfers()).empty());
  EXPECT_FALSE(Ext()->DeviceOpen);
}

TEST_F(PortOpenClose, ClosedPortRefusesWrites) {
  Open();
  Close();
  ULONG_PTR info = 99;
  EXPECT_EQ(RawWrite(Fdo(), Bytes("late"), &info), STATUS_DELETE_PENDING);
  EXPECT_EQ(info, 0u);
  EXPECT_EQ(Ext()->TxCount, 0u);
  // Only the lines went out: raised at open, dropped at close.
  EXPECT_EQ(UnitsText(Device().BulkOutTransfers()), "C3 00 | C0 00");
}

}  // namespace
}  // namespace hk::test
