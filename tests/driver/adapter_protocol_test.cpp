// The adapter's vendor requests byte for byte: open and close with their 2-byte replies, and
// the 8-byte line-settings block, sent only for an effective change of baud rate or line
// control and never for a setting the adapter cannot take. Also the single control request
// in flight at a time when several threads change settings while the port opens and closes.
#include <atomic>
#include <thread>

#include "serial_port_helpers.h"
#include "urb_log.h"
#include "usb/bus.h"

namespace hk::test {
namespace {

using Block = std::vector<UCHAR>;

class AdapterProtocol : public SerialPortTest {
 protected:
  size_t Blocks() { return Device().LineSettings().size(); }
  Block LastBlock() {
    auto blocks = Device().LineSettings();
    return blocks.empty() ? Block{} : blocks.back();
  }
  std::vector<adapter::ControlRecord> Requests(UCHAR code) {
    std::vector<adapter::ControlRecord> out;
    for (const auto& r : Device().ControlRequests())
      if (r.Setup.Request == code) out.push_back(r);
    return out;
  }
};

::testing::AssertionResult SetupIs(const usb::SetupPacket& s, UCHAR type, UCHAR request, USHORT length) {
  if (s.RequestType == type && s.Request == request && s.Value == 0 && s.Index == 0 && s.Length == length)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << std::hex << "setup " << (int)s.RequestType << " " << (int)s.Request << " "
                                       << s.Value << " " << s.Index << " " << s.Length;
}

TEST_F(AdapterProtocol, OpenSendsRequestOneAndCloseRequestTwoAndNeitherSetsTheLine) {
  EXPECT_TRUE(Device().ControlRequests().empty()) << "starting the device says nothing to the adapter";
  Open();
  auto requests = Device().ControlRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_TRUE(SetupIs(requests[0].Setup, 0xC1, 1, 2));
  Close();
  requests = Device().ControlRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_TRUE(SetupIs(requests[1].Setup, 0xC1, 2, 2));
  EXPECT_EQ(Blocks(), 0u);
  EXPECT_TRUE(Device().Faults().empty());
}

TEST_F(AdapterProtocol, EveryRateAndLineControlIsEncodedByteForByte) {
  Open();
  ASSERT_EQ(SetBaud(115200), STATUS_SUCCESS);
  EXPECT_EQ(LastBlock(), (Block{0x11, 0, 0, 0, 1, 0, 0, 0}));
  EXPECT_TRUE(SetupIs(Device().ControlRequests().back().Setup, 0x41, 3, 8));

  ASSERT_EQ(SetBaud(1200), STATUS_SUCCESS);
  ASSERT_EQ(SetLine(7, EVEN_PARITY, STOP_BITS_2), STATUS_SUCCESS);
  EXPECT_EQ(LastBlock(), (Block{0x07, 1, 1, 2, 1, 0, 0, 0}));
  adapter::UartSettings uart = Device().CurrentUart();
  EXPECT_EQ(uart.Baud, 1200u);
  EXPECT_EQ(uart.DataBits, 7);
  EXPECT_EQ(uart.Parity, 'E');
  EXPECT_EQ(uart.StopBits, 2);

  // Odd is 3 and even is 2, whatever order the serial constants have.
  ASSERT_EQ(SetLine(8, ODD_PARITY, STOP_BIT_1), STATUS_SUCCESS);
  EXPECT_EQ(LastBlock(), (Block{0x07, 0, 0, 3, 1, 0, 0, 0}));
  EXPECT_EQ(Device().CurrentUart().Parity, 'O');
  ASSERT_EQ(SetLine(8, EVEN_PARITY, STOP_BIT_1), STATUS_SUCCESS);
  EXPECT_EQ(LastBlock(), (Block{0x07, 0, 0, 2, 1, 0, 0, 0}));
  EXPECT_EQ(Device().CurrentUart().Parity, 'E');
  ASSERT_EQ(SetLine(8, NO_PARITY, STOP_BIT_1), STATUS_SUCCESS);

  const ULONG rates[] = {50,    100,   110,   150,   200,   300,   600,   1200,  2400,
                         4800,  9600,  14400, 19200, 28800, 38400, 57600, 76800, 115200};
  for (UCHAR code = 0; code < 18; ++code) {
    if (rates[code] == BaudRate()) continue;
    ASSERT_EQ(SetBaud(rates[code]), STATUS_SUCCESS) << rates[code];
    EXPECT_EQ(LastBlock(), (Block{code, 0, 0, 0, 1, 0, 0, 0})) << rates[code];
    EXPECT_EQ(Device().CurrentUart().Baud, rates[code]);
  }
  EXPECT_TRUE(Device().Faults().empty());
}

TEST_F(AdapterProtocol, OnlyAnEffectiveChangeIsSent) {
  Open();
  EXPECT_EQ(SetBaud(9600), STATUS_SUCCESS) << "the rate stored at start";
  EXPECT_EQ(SetLine(8, NO_PARITY, STOP_BIT_1), STATUS_SUCCESS);
  EXPECT_EQ(Blocks(), 0u);
  ASSERT_EQ(SetBaud(19200), STATUS_SUCCESS);
  EXPECT_EQ(SetBaud(19200), STATUS_SUCCESS);
  EXPECT_EQ(Blocks(), 1u);

  // Reopening keeps the settings and does not send them again.
  Close();
  Open();
  EXPECT_EQ(BaudRate(), 19200u);
  EXPECT_EQ(Blocks(), 1u);
}

TEST_F(AdapterProtocol, RatesTheAdapterCannotTakeAreRefusedAndNothingIsSent) {
  Open();
  ASSERT_EQ(SetBaud(38400), STATUS_SUCCESS);
  size_t sent = Blocks();
  for (ULONG rate : {56000u, 230400u, 1800u, 0u, 9601u}) {
    EXPECT_EQ(SetBaud(rate), STATUS_INVALID_DEVICE_REQUEST) << rate;
    EXPECT_EQ(BaudRate(), 38400u) << rate;
  }
  EXPECT_EQ(Blocks(), sent);
  // The previous rate is still the one stored: setting it again is no change.
  EXPECT_EQ(SetBaud(38400), STATUS_SUCCESS);
  EXPECT_EQ(Blocks(), sent);
}

TEST_F(AdapterProtocol, LineControlsTheAdapterCannotTakeAreRefusedAndNothingIsSent) {
  Open();
  ASSERT_EQ(SetLine(7, ODD_PARITY, STOP_BITS_2), STATUS_SUCCESS);
  size_t sent = Blocks();
  struct Bad {
    UCHAR word, parity, stop;
  } bad[] = {{5, NO_PARITY, STOP_BIT_1},   {6, NO_PARITY, STOP_BIT_1},   {8, NO_PARITY, STOP_BITS_1_5},
             {8, MARK_PARITY, STOP_BIT_1}, {8, SPACE_PARITY, STOP_BIT_1}, {9, NO_PARITY, STOP_BIT_1}};
  for (const auto& b : bad) {
    EXPECT_EQ(SetLine(b.word, b.parity, b.stop), STATUS_INVALID_PARAMETER)
        << (int)b.word << " " << (int)b.parity << " " << (int)b.stop;
    SERIAL_LINE_CONTROL kept = LineControl();
    EXPECT_EQ(kept.WordLength, 7);
    EXPECT_EQ(kept.Parity, ODD_PARITY);
    EXPECT_EQ(kept.StopBits, STOP_BITS_2);
  }
  EXPECT_EQ(Blocks(), sent);
}

TEST_F(AdapterProtocol, ASettingTheAdapterRefusesStillSucceeds) {
  Open();
  Device().FailControl(3, USBD_STATUS_STALL_PID);
  EXPECT_EQ(SetBaud(19200), STATUS_SUCCESS);
  EXPECT_EQ(BaudRate(), 19200u);
  EXPECT_EQ(Device().CurrentUart().Baud, 9600u) << "the adapter did not take it";
  EXPECT_EQ(SetBaud(57600), STATUS_SUCCESS);
  EXPECT_EQ(Device().CurrentUart().Baud, 57600u);
  EXPECT_EQ(Blocks(), 2u);
}

TEST_F(AdapterProtocol, OpenReplyByteOneCarriesTheModemInputs) {
  struct Case {
    std::vector<UCHAR> reply;
    ULONG status;
  } cases[] = {{{0x00, 0x09}, 0x90}, {{0x00, 0xF3}, 0x30}, {{0x5F}, 0x00}, {{}, 0x00}};
  for (const auto& c : cases) {
    Device().SetOpenReply(c.reply);
    Open();
    EXPECT_EQ(ModemStatusBits(), c.status) << "reply of " << c.reply.size() << " bytes";
    Close();
  }
  // The adapter's own reply puts something else in byte 0.
  Device().ClearOpenReply();
  Device().SetModemInputs(0x05);
  Open();
  EXPECT_EQ(ModemStatusBits(), 0x50u);
}

TEST_F(AdapterProtocol, CloseClearsTheModemStatusUnlessTheAdapterRefusesIt) {
  Device().SetModemInputs(0x0F);
  Open();
  ASSERT_EQ(Ext()->ModemStatus, 0x0F);
  Close();
  EXPECT_EQ(Ext()->ModemStatus, 0) << "whatever the close reply says";

  Open();
  Device().FailControl(2, USBD_STATUS_STALL_PID);
  Close();
  EXPECT_EQ(Ext()->ModemStatus, 0x0F) << "a refused close request changes nothing";
  EXPECT_FALSE(Ext()->DeviceOpen) << "yet the port is closed";
  Open();
  EXPECT_EQ(Requests(1).size(), 3u);
}

TEST_F(AdapterProtocol, RefusedOpenRequestFailsTheOpenAndTheNextOpenAsksAgain) {
  Device().FailControl(1, USBD_STATUS_STALL_PID);
  HANDLE h = win32::CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, win32::OPEN_EXISTING, 0,
                                nullptr);
  EXPECT_EQ(h, win32::INVALID_HANDLE_VALUE);
  EXPECT_EQ(win32::GetLastNtStatus(), STATUS_UNSUCCESSFUL);
  machine().Settle();
  EXPECT_FALSE(Ext()->DeviceOpen);
  EXPECT_EQ(Device().PendingTransfers(0x81), 0u) << "a port that did not open does not read";
  EXPECT_EQ(Requests(2).size(), 0u);

  Open();
  EXPECT_EQ(Requests(1).size(), 2u);
  EXPECT_EQ(Device().PendingTransfers(0x81), 1u);
}

// A recorded block is one that the settings in play can produce: a known rate, 8N1 or 7E2 in
// any mix of their parts, the fixed 1 and three zeros.
bool PlausibleBlock(const Block& b) {
  return b.size() == 8 && (b[0] == 10 || b[0] == 15 || b[0] == 17) && b[1] <= 1 && b[2] <= 1 &&
         (b[3] == 0 || b[3] == 2) && b[4] == 1 && b[5] == 0 && b[6] == 0 && b[7] == 0;
}

TEST_F(AdapterProtocol, SettingsFromSeveralThreadsWhileThePortOpensAndClosesNeverShareTheControlRequest) {
  auto log = UrbLog::Attach(usb::ControllerOf(Node()));
  std::atomic<HANDLE> port{nullptr};
  std::atomic<bool> stop{false};
  std::atomic<int> baudChanges{0}, lineChanges{0};

  std::thread baud([&] {
    ULONG rates[2] = {115200, 57600};
    int next = 0;
    while (!stop) {
      HANDLE h = port;
      if (!h) {
        std::this_thread::yield();
        continue;
      }
      SERIAL_BAUD_RATE b{rates[next]};
      win32::DWORD done = 0;
      if (win32::DeviceIoControl(h, IOCTL_SERIAL_SET_BAUD_RATE, &b, sizeof b, nullptr, 0, &done, nullptr)) {
        ++baudChanges;
        next ^= 1;
      }
    }
  });
  std::thread line([&] {
    SERIAL_LINE_CONTROL lines[2] = {{STOP_BITS_2, EVEN_PARITY, 7}, {STOP_BIT_1, NO_PARITY, 8}};
    int next = 0;
    while (!stop) {
      HANDLE h = port;
      if (!h) {
        std::this_thread::yield();
        continue;
      }
      win32::DWORD done = 0;
      if (win32::DeviceIoControl(h, IOCTL_SERIAL_SET_LINE_CONTROL, &lines[next], sizeof lines[next], nullptr, 0,
                                 &done, nullptr)) {
        ++lineChanges;
        next ^= 1;
      }
    }
  });
  std::thread reader([&] {
    while (!stop) {
      HANDLE h = port;
      ULONG status = 0;
      win32::DWORD done = 0;
      if (h) win32::DeviceIoControl(h, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof status, &done, nullptr);
      else std::this_thread::yield();
    }
  });

  const int kOpens = 25;
  int opened = 0;
  for (int i = 0; i < kOpens; ++i) {
    // The last close may still wait for a request that was in flight on the old handle.
    HANDLE h = win32::INVALID_HANDLE_VALUE;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (h == win32::INVALID_HANDLE_VALUE && std::chrono::steady_clock::now() < deadline) {
      h = win32::CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, win32::OPEN_EXISTING, 0,
                             nullptr);
      if (h == win32::INVALID_HANDLE_VALUE) {
        EXPECT_EQ(win32::GetLastNtStatus(), STATUS_ACCESS_DENIED);
        std::this_thread::yield();
      }
    }
    if (h == win32::INVALID_HANDLE_VALUE) continue;
    ++opened;
    int baudBefore = baudChanges, lineBefore = lineChanges;
    port = h;
    // Each thread must get its turn on every handle, however the scheduler favours one of them.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((baudChanges < baudBefore + 3 || lineChanges < lineBefore + 3) && std::chrono::steady_clock::now() < until)
      std::this_thread::yield();
    win32::CloseHandle(h);  // while the threads still use it
    port = nullptr;
  }
  stop = true;
  baud.join();
  line.join();
  reader.join();
  machine().Settle();

  EXPECT_EQ(opened, kOpens);
  auto blocks = Device().LineSettings();
  EXPECT_EQ(blocks.size(), (size_t)(baudChanges + lineChanges)) << "one block per effective change";
  for (const auto& b : blocks) EXPECT_TRUE(PlausibleBlock(b));
  EXPECT_GE(baudChanges, kOpens);
  EXPECT_GE(lineChanges, kOpens);

  // Every vendor request finished before the next one was submitted.
  int inFlight = 0, most = 0;
  for (const auto& e : log->Events()) {
    if (e.Function != URB_FUNCTION_VENDOR_INTERFACE) continue;
    inFlight += e.Completion ? -1 : 1;
    most = std::max(most, inFlight);
  }
  EXPECT_EQ(most, 1);
  EXPECT_EQ(inFlight, 0);

  // Open and close alternate, and every request arrived whole.
  UCHAR last = 2;
  for (const auto& r : Device().ControlRequests()) {
    if (r.Setup.Request == 3) {
      EXPECT_TRUE(SetupIs(r.Setup, 0x41, 3, 8));
      continue;
    }
    EXPECT_TRUE(SetupIs(r.Setup, 0xC1, r.Setup.Request, 2));
    EXPECT_NE(r.Setup.Request, last) << "open and close requests alternate";
    last = r.Setup.Request;
  }
  EXPECT_TRUE(Device().Faults().empty());
}

}  // namespace
}  // namespace hk::test
