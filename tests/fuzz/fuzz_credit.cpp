// Credit replies as a device might send them: 0 to 64 bytes of anything, early, late or never,
// while writes of random lengths run against random write time-outs, are cancelled and purged,
// and credit and bulk-out transfers fail or hang.
#include "harness.h"

using namespace hk;
using namespace hk::fuzz;
using namespace ::win32;

namespace {

constexpr UCHAR kBulkOut = 0x02, kCredit = 0x83;

// Printable, never a flow-control character, and with a period long enough that a repeated or
// reordered piece does not pass for the pattern.
UCHAR PatternAt(size_t i) { return (UCHAR)(0x20 + (i * 7 + i / 83) % 90); }

void Body(Run& run, Input& in) {
  adapter::AdapterOptions options = QuietAdapter();
  // Throttled, the transmit buffer drains at the line's rate and its room is real.
  options.Unthrottled = (in.Byte() & 1) == 0;
  if (!run.Plug(options)) return run.Fail("the adapter did not start");
  HANDLE h = run.Open();
  if (h == INVALID_HANDLE_VALUE) return run.Fail("the port did not open");
  adapter::Adapter& device = *run.Device();
  ULONG written = 0;
  // Everything written, in order: the pattern's characters 0x20 to 0x79. Immediate characters
  // are below 0x20, as are the flow-control characters the driver may send of its own.
  std::vector<UCHAR> stream;
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
        for (ULONG i = 0; i < n; ++i) data[i] = PatternAt(written + i);
        written += n;
        stream.insert(stream.end(), data.begin(), data.end());
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
          run.Ioctl(h, IOCTL_SERIAL_IMMEDIATE_CHAR, {(UCHAR)(in.Byte() % 0x20)}, 0);
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
  // What went out on the line may lack what was purged, cancelled, timed out or lost to a
  // lying credit reply, but nothing may be repeated, reordered or changed.
  size_t j = 0, i = 0;
  std::vector<UCHAR> sent = device.TakeTransmitted();
  for (; i < sent.size(); ++i) {
    if (sent[i] < 0x20) continue;
    while (j < stream.size() && stream[j] != sent[i]) ++j;
    if (j == stream.size()) break;
    ++j;
  }
  if (i < sent.size())
    run.Fail("character " + std::to_string(i) + " of the " + std::to_string(sent.size()) +
             " transmitted was never written in that order");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  uint64_t seed = in.Word();
  RunOnce("credit", seed + 1, [&](Run& run) { Body(run, in); });
  return 0;
}
