// Credit replies as a device might send them: 0 to 64 bytes of anything, early, late or never,
// while writes of random lengths run against random write time-outs, are cancelled and purged,
// and credit and bulk-out transfers fail or hang.
#include "harness.h"

using namespace hk;
using namespace hk::fuzz;
using namespace ::win32;

namespace {

constexpr UCHAR kBulkOut = 0x02, kCredit = 0x83;

void Body(Run& run, Input& in) {
  adapter::AdapterOptions options = QuietAdapter();
  // Throttled, the transmit buffer drains at the line's rate and its room is real.
  options.Unthrottled = (in.Byte() & 1) == 0;
  if (!run.Plug(options)) return run.Fail("the adapter did not start");
  HANDLE h = run.Open();
  if (h == INVALID_HANDLE_VALUE) return run.Fail("the port did not open");
  adapter::Adapter& device = *run.Device();
  ULONG written = 0;
  for (int step = 0; step < 48 && !in.Empty(); ++step) {
    switch (in.Pick(11)) {
      case 0:
      case 1:
      case 2: {
        std::vector<UCHAR> reply = in.Bytes(in.Pick(65));
        // A reply that offers more room than a throttled transmit buffer has is the device's
        // lie: what overflows the buffer then is not the driver's fault.
        if (!options.Unthrottled) run.Tolerate(adapter::ViolationKind::TxOverflow);
        device.InjectCreditReply(std::move(reply));
        break;
      }
      case 3:
      case 4: {
        ULONG n = in.Word() % 1500;
        std::vector<UCHAR> data(n);
        for (ULONG i = 0; i < n; ++i) data[i] = (UCHAR)(0x20 + (written + i) % 90);
        written += n;
        run.Write(h, std::move(data));
        break;
      }
      case 5: run.Pause(in.Byte() * 4); break;
      case 6: run.Cancel(in.Byte()); break;
      case 7: {
        UCHAR what = in.Byte();
        UCHAR endpoint = what & 4 ? kBulkOut : kCredit;
        if (what & 1) device.StallNext(endpoint);
        else device.FailNext(endpoint, what & 2 ? USBD_STATUS_STALL_PID : USBD_STATUS_DEV_NOT_RESPONDING);
        break;
      }
      case 8: PurgeComm(h, in.Byte() & (PURGE_TXABORT | PURGE_TXCLEAR)); break;
      case 9: {
        COMMTIMEOUTS t{};
        GetCommTimeouts(h, &t);
        UCHAR m = in.Byte(), c = in.Byte();
        t.WriteTotalTimeoutMultiplier = m == 0xFF ? MAXDWORD : m;
        t.WriteTotalTimeoutConstant = c == 0xFF ? MAXDWORD : c * 8u;
        SetCommTimeouts(h, &t);
        break;
      }
      default: {
        UCHAR what = in.Byte();
        if (what & 1) {
          run.Ioctl(h, IOCTL_SERIAL_IMMEDIATE_CHAR, {in.Byte()}, 0);
        } else if (what & 2) {
          SetCommMask(h, EV_TXEMPTY);
          run.WaitEvent(h);
        } else {
          run.Ioctl(h, what & 4 ? IOCTL_SERIAL_SET_XOFF : IOCTL_SERIAL_SET_XON, {}, 0);
        }
      }
    }
  }
  run.Pause(500);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  uint64_t seed = in.Word();
  RunOnce("credit", seed + 1, [&](Run& run) { Body(run, in); });
  return 0;
}
