// An opened port and what the device-control tests look at: every stored setting at once, the
// modem-control words that went out, and requests that kernel-mode callers send (internal
// device control, clean-up without a close).
#pragma once
#include <cstring>
#include <string>
#include <vector>

#include "io/io_manager.h"
#include "open_port.h"

namespace hk::test {

class ControlSurfaceTest : public OpenPortTest {
 protected:
  // Every setting an application can read back, and what the adapter was told.
  struct Settings {
    SERIAL_BAUD_RATE Baud{};
    SERIAL_LINE_CONTROL Line{};
    SERIAL_CHARS Chars{};
    SERIAL_HANDFLOW Handflow{};
    SERIAL_TIMEOUTS Timeouts{};
    ULONG WaitMask = 0;
    size_t LineBlocks = 0;
    size_t ModemWords = 0;
    bool operator==(const Settings& o) const {
      return std::memcmp(&Baud, &o.Baud, sizeof Baud) == 0 && std::memcmp(&Line, &o.Line, sizeof Line) == 0 &&
             std::memcmp(&Chars, &o.Chars, sizeof Chars) == 0 &&
             std::memcmp(&Handflow, &o.Handflow, sizeof Handflow) == 0 &&
             std::memcmp(&Timeouts, &o.Timeouts, sizeof Timeouts) == 0 && WaitMask == o.WaitMask &&
             LineBlocks == o.LineBlocks && ModemWords == o.ModemWords;
    }
  };

  Settings Read() {
    machine().Settle();
    Settings s;
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &s.Baud, sizeof s.Baud), STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &s.Line, sizeof s.Line), STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_CHARS, nullptr, 0, &s.Chars, sizeof s.Chars), STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &s.Handflow, sizeof s.Handflow), STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &s.Timeouts, sizeof s.Timeouts), STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &s.WaitMask, sizeof s.WaitMask), STATUS_SUCCESS);
    s.LineBlocks = Device().LineSettings().size();
    s.ModemWords = ModemControlWords().size();
    return s;
  }

  // The headers of the modem-control units the adapter received, in order.
  std::vector<UCHAR> ModemControlWords() {
    std::vector<UCHAR> words;
    for (const auto& transfer : Device().BulkOutTransfers())
      for (size_t i = 0; i + 1 < transfer.size(); i += 2)
        if ((transfer[i] & 0xE0) == 0xC0) words.push_back(transfer[i]);
    return words;
  }

  // A request as a kernel-mode caller sends it straight to the port's device object, waited
  // for. `major` is IRP_MJ_DEVICE_CONTROL or IRP_MJ_INTERNAL_DEVICE_CONTROL.
  NTSTATUS KernelIoctl(ULONG code, bool internal, const void* in, ULONG inLength, void* out = nullptr,
                       ULONG outLength = 0, ULONG_PTR* information = nullptr) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, Fdo(Node()), const_cast<void*>(in), inLength, out, outLength,
                                             internal, &done, &iosb);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    if (IoCallDriver(Fdo(Node()), irp) == STATUS_PENDING)
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    if (information) *information = iosb.Information;
    return iosb.Status;
  }

  // A request of the I/O manager's own kind (clean-up, power, Plug and Play) sent to the top
  // of the port's stack; `setup` fills its stack location. Returns the final status.
  NTSTATUS SendSystemRequest(UCHAR major, UCHAR minor, void (*setup)(PIO_STACK_LOCATION) = nullptr,
                             ULONG_PTR* information = nullptr) {
    PDEVICE_OBJECT top = io::TopOfStack(Fdo(Node()));
    ULONG_PTR info = 0;
    PIRP irp = io::AllocateSystemIrp(top->StackSize, [&info](PIRP done) { info = done->IoStatus.Information; });
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    if (setup) setup(next);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    NTSTATUS status = io::SendAndWait(top, irp);
    if (information) *information = info;
    return status;
  }
};

}  // namespace hk::test
