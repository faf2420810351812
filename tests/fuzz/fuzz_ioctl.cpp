// Device-control requests as a caller might send them: every code of the serial device type
// (0x1B) with functions 0 to 63, every method and access, codes of other device types, input
// and output lengths 0 to 128 with random contents, pending ones cancelled, all while
// characters and modem changes arrive.
#include "harness.h"

using namespace hk;
using namespace hk::fuzz;
using namespace ::win32;

namespace {

ULONG Code(Input& in) {
  UCHAR kind = in.Byte();
  ULONG method = kind & 3, access = (kind >> 2) & 3;
  ULONG deviceType = 0x1B, function = in.Pick(64);
  if ((kind & 0xE0) == 0xE0) {
    // Another device type, and any function.
    deviceType = in.Word();
    function = in.Word() & 0xFFF;
  }
  return deviceType << 16 | access << 14 | function << 2 | method;
}

void Body(Run& run, Input& in) {
  if (!run.Plug(QuietAdapter())) return run.Fail("the adapter did not start");
  HANDLE h = run.Open();
  if (h == INVALID_HANDLE_VALUE) return run.Fail("the port did not open");
  adapter::Adapter& device = *run.Device();
  for (int step = 0; step < 40 && !in.Empty(); ++step) {
    UCHAR op = in.Byte();
    if (op < 0xD0) {
      ULONG code = Code(in);
      ULONG inLength = in.Pick(129), outLength = in.Pick(129);
      std::vector<UCHAR> input = in.Bytes(inLength);
      input.resize(inLength, 0);
      run.Ioctl(h, code, input, outLength);
      continue;
    }
    switch (op & 7) {
      case 0: run.Pause(in.Byte() * 4); break;
      case 1: run.Cancel(in.Byte()); break;
      case 2: device.ReceiveFromLine(in.Bytes(in.Pick(32))); break;
      case 3: device.SetModemInputs(in.Byte() & 0x0F); break;
      case 4: run.Read(h, in.Pick(64)); break;
      case 5: run.Write(h, in.Bytes(in.Pick(64))); break;
      case 6: device.ReceiveWithLineError(in.Byte()); break;
      default: device.InjectBulkIn(in.Bytes(in.Pick(65))); break;
    }
  }
  run.Pause(500);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  uint64_t seed = in.Word();
  RunOnce("ioctl", seed + 1, [&](Run& run) { Body(run, in); });
  return 0;
}
