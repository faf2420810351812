// An opened port with the few device-control requests the settings and receive tests keep
// asking, each returning what an application would see.
#pragma once
#include <string>

#include "open_port.h"

namespace hk::test {

class SerialPortTest : public OpenPortTest {
 protected:
  ULONG ModemStatusBits() {
    ULONG bits = 0xFFFFFFFF;
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &bits, sizeof bits), STATUS_SUCCESS);
    return bits;
  }
  ULONG BaudRate() {
    SERIAL_BAUD_RATE b{};
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &b, sizeof b), STATUS_SUCCESS);
    return b.BaudRate;
  }
  SERIAL_LINE_CONTROL LineControl() {
    SERIAL_LINE_CONTROL l{};
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &l, sizeof l), STATUS_SUCCESS);
    return l;
  }
  NTSTATUS SetBaud(ULONG rate) {
    SERIAL_BAUD_RATE b{rate};
    return Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, &b, sizeof b);
  }
  NTSTATUS SetLine(UCHAR wordLength, UCHAR parity, UCHAR stopBits) {
    SERIAL_LINE_CONTROL l{};
    l.WordLength = wordLength;
    l.Parity = parity;
    l.StopBits = stopBits;
    return Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, &l, sizeof l);
  }
  NTSTATUS SetHandflow(ULONG controlHandShake, ULONG flowReplace, LONG xonLimit = 2048, LONG xoffLimit = 512) {
    SERIAL_HANDFLOW h{controlHandShake, flowReplace, xonLimit, xoffLimit};
    return Ioctl(IOCTL_SERIAL_SET_HANDFLOW, &h, sizeof h);
  }
  NTSTATUS SetWaitMask(ULONG mask) { return Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask); }
  std::unique_ptr<Pending> StartWait() { return StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG)); }
  static ULONG WaitResult(const Pending& p) {
    ULONG mask = 0;
    std::memcpy(&mask, p.Buffer.data(), sizeof mask);
    return mask;
  }
  // A read that must complete at once; returns the characters it delivered.
  std::string ReadNow(ULONG length) {
    auto read = StartRead(length);
    EXPECT_TRUE(read->Done()) << "a read of " << length << " did not complete at once";
    if (!read->Done()) {
      // Its buffer must not go away while the driver holds the request.
      win32::CancelIo(Handle());
      machine().Settle();
      return {};
    }
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    return read->Text();
  }
};

}  // namespace hk::test
