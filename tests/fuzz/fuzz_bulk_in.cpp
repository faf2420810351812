// Bulk-in packets as a device might send them: 0 to 64 bytes, odd lengths, every unit header
// kind, fed to the receive path while reads of random lengths run against random time-outs,
// are cancelled and purged, and bulk-in transfers fail or hang.
#include "harness.h"

using namespace hk;
using namespace hk::fuzz;
using namespace ::win32;

namespace {

constexpr UCHAR kBulkIn = 0x81;

// A time-out field: 0, MAXDWORD, or a few to a few hundred milliseconds.
DWORD TimeoutField(Input& in) {
  UCHAR b = in.Byte();
  if (b == 0xFF) return MAXDWORD;
  return b < 0x80 ? b : (DWORD)(b - 0x80) * 16;
}

// The longest a read of `length` may take by its time-outs, or -1 when they do not bound it.
long long ReadBound(ULONG length, const COMMTIMEOUTS& t) {
  if (length == 0) return 0;
  if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0)
    return 0;
  if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD)
    return t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD ? t.ReadTotalTimeoutConstant : -1;
  if (t.ReadTotalTimeoutMultiplier == MAXDWORD || t.ReadTotalTimeoutConstant == MAXDWORD) return -1;
  if (t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) return -1;
  return (long long)t.ReadTotalTimeoutMultiplier * length + t.ReadTotalTimeoutConstant;
}

void Body(Run& run, Input& in) {
  if (!run.Plug(QuietAdapter())) return run.Fail("the adapter did not start");
  HANDLE h = run.Open();
  if (h == INVALID_HANDLE_VALUE) return run.Fail("the port did not open");
  adapter::Adapter& device = *run.Device();
  // Reads whose time-outs bound them must end by them, whatever the device sends or withholds.
  // Queued reads start one after the other, so together they end within the sum of their
  // bounds; a change of the time-outs while reads are queued leaves their bounds unknown.
  COMMTIMEOUTS timeouts{};
  std::vector<Request*> reads;
  long long owed = 0;
  bool bounded = true;
  for (int step = 0; step < 48 && !in.Empty(); ++step) {
    switch (in.Pick(12)) {
      case 0:
      case 1: device.InjectBulkIn(in.Bytes(in.Pick(65))); break;
      case 2: device.ReceiveFromLine(in.Bytes(in.Pick(40))); break;
      case 3: device.ReceiveWithLineError(in.Byte()); break;
      case 4: device.SetModemInputs(in.Byte() & 0x0F); break;
      case 5:
      case 6: {
        ULONG length = in.Word() % 4100;
        long long bound = ReadBound(length, timeouts);
        if (bound < 0) bounded = false;
        owed += bound;
        reads.push_back(run.Read(h, length));
        break;
      }
      case 7: {
        COMMTIMEOUTS t{};
        t.ReadIntervalTimeout = TimeoutField(in);
        t.ReadTotalTimeoutMultiplier = TimeoutField(in);
        t.ReadTotalTimeoutConstant = TimeoutField(in);
        for (Request* r : reads) bounded = bounded && r->Done();
        if (SetCommTimeouts(h, &t)) timeouts = t;
        else bounded = false;
        break;
      }
      case 8: run.Pause(in.Byte() * 4); break;
      case 9: run.Cancel(in.Byte()); break;
      case 10: {
        UCHAR what = in.Byte();
        if (what & 1) device.StallNext(kBulkIn);
        else device.FailNext(kBulkIn, what & 2 ? USBD_STATUS_STALL_PID : USBD_STATUS_DEV_NOT_RESPONDING);
        break;
      }
      default: {
        UCHAR what = in.Byte();
        if (what & 1) {
          PurgeComm(h, (what >> 1) & (PURGE_RXABORT | PURGE_RXCLEAR));
        } else if (what & 2) {
          SetCommMask(h, in.Word());
          run.WaitEvent(h);
        } else {
          DWORD errors = 0, modem = 0;
          COMSTAT status{};
          ClearCommError(h, &errors, &status);
          GetCommModemStatus(h, &modem);
        }
      }
    }
  }
  if (bounded && owed <= 20000) {
    // A clock tick of slack for each read, and a second for the rest.
    run.Pause((ULONG)(owed + 10 * reads.size() + 1000));
    for (Request* r : reads)
      if (!r->Done()) run.Fail(r->What + " was still pending after the longest its time-outs allow");
  }
  run.Pause(500);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  uint64_t seed = in.Word();
  RunOnce("bulk_in", seed + 1, [&](Run& run) { Body(run, in); });
  return 0;
}
