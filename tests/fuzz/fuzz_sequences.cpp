// Random sequences of what an application and the system do to a port, decoded from the fuzz
// input: open, close, reads, writes, purges, cancellation, line settings, event waits, stop and
// restart, queried and cancelled stops and removals, surprise removal and plugging in again,
// odd answers to the open request and refused control requests, all while earlier requests
// are still in flight on a loopback plug.
#include "harness.h"

using namespace hk;
using namespace hk::fuzz;
using namespace ::win32;

namespace {

void Body(Run& run, Input& in) {
  adapter::AdapterOptions options = QuietAdapter();
  options.Partner = adapter::LinePartner::Loopback;
  options.Unthrottled = (in.Byte() & 1) == 0;
  if (!run.Plug(options)) return run.Fail("the adapter did not start");
  pnp::DeviceNode* unplugged = nullptr;
  auto pickHandle = [&]() -> HANDLE {
    const auto& open = run.OpenHandles();
    return open.empty() ? INVALID_HANDLE_VALUE : open[in.Byte() % open.size()];
  };
  for (int step = 0; step < 40 && !in.Empty(); ++step) {
    UCHAR op = in.Pick(22);
    // The operations on a handle name one of those open.
    HANDLE h = op >= 2 && op <= 12 && op != 7 ? pickHandle() : INVALID_HANDLE_VALUE;
    switch (op) {
      case 0:
        if (run.OpenHandles().size() < 2) run.Open();
        break;
      case 1:
        if (!run.OpenHandles().empty()) run.Close(pickHandle());
        break;
      case 2:
      case 3:
        if (h != INVALID_HANDLE_VALUE) run.Read(h, in.Word() % 2000);
        break;
      case 4:
      case 5:
        if (h != INVALID_HANDLE_VALUE) {
          std::vector<UCHAR> data(in.Word() % 2000);
          for (size_t i = 0; i < data.size(); ++i) data[i] = (UCHAR)(0x20 + i % 90);
          run.Write(h, std::move(data));
        }
        break;
      case 6:
        if (h != INVALID_HANDLE_VALUE) PurgeComm(h, in.Byte() & 0x0F);
        break;
      case 7: run.Cancel(in.Byte()); break;
      case 8:
        if (h != INVALID_HANDLE_VALUE) CancelIoEx(h, nullptr);
        break;
      case 9:
        if (h != INVALID_HANDLE_VALUE) {
          DCB dcb{};
          GetCommState(h, &dcb);
          static const DWORD kRates[] = {CBR_9600, CBR_19200, CBR_57600, CBR_115200, 300, 921600};
          UCHAR b = in.Byte();
          dcb.BaudRate = kRates[b % 6];
          dcb.ByteSize = (BYTE)(5 + (b >> 3) % 4);
          dcb.Parity = (BYTE)((b >> 5) % 5);
          dcb.StopBits = (BYTE)(in.Byte() % 3);
          UCHAR f = in.Byte();
          dcb.fOutxCtsFlow = f & 1;
          dcb.fOutxDsrFlow = (f >> 1) & 1;
          dcb.fRtsControl = (f >> 2) & 3;
          dcb.fDtrControl = (f >> 4) & 3;
          dcb.fOutX = (f >> 6) & 1;
          dcb.fInX = (f >> 7) & 1;
          SetCommState(h, &dcb);
        }
        break;
      case 10:
        if (h != INVALID_HANDLE_VALUE) {
          UCHAR b = in.Byte();
          COMMTIMEOUTS t{b & 1 ? MAXDWORD : (DWORD)(b >> 4), (DWORD)(b >> 6), (DWORD)in.Byte() * 4,
                         (DWORD)(in.Byte() & 3), (DWORD)in.Byte() * 8};
          SetCommTimeouts(h, &t);
        }
        break;
      case 11:
        if (h != INVALID_HANDLE_VALUE) {
          SetCommMask(h, in.Word() & 0x1FFF);
          run.WaitEvent(h);
        }
        break;
      case 12:
        if (h != INVALID_HANDLE_VALUE) EscapeCommFunction(h, 1 + in.Byte() % 9);
        break;
      case 13:
      case 14: run.Pause(in.Byte() * 4); break;
      case 15:
        if (run.Node()) {
          UCHAR b = in.Byte() % 3;
          if (b == 0) pnp::StopAndRestart(run.Node());
          else if (b == 1) pnp::QueryStopThenCancel(run.Node());
          else pnp::QueryRemoveThenCancel(run.Node());
        }
        break;
      case 16:
        if (run.Node() && in.Byte() % 4 == 0) {
          unplugged = run.Node();
          run.Unplug();
        }
        break;
      case 17:
        // Plugged in again once the removal of the last one is complete.
        if (unplugged && unplugged->State == pnp::DeviceState::Removed) {
          unplugged = nullptr;
          if (!run.Plug(options)) run.Fail("the adapter did not start when plugged in again");
        }
        break;
      case 20:
        // The device's answer to the open request: 0 to 4 bytes of anything, or its own again.
        if (run.Device()) {
          UCHAR b = in.Byte();
          if (b & 0x80) run.Device()->ClearOpenReply();
          else run.Device()->SetOpenReply(in.Bytes(b % 5));
        }
        break;
      case 21:
        // The device refuses the next open, close or line-settings requests.
        if (run.Device()) {
          UCHAR b = in.Byte();
          run.Device()->FailControl((UCHAR)(1 + b % 3), b & 0x80 ? USBD_STATUS_STALL_PID : USBD_STATUS_DEV_NOT_RESPONDING,
                                    1 + (b >> 2) % 3);
        }
        break;
      default:
        if (run.Device() && run.Node()) run.Device()->ReceiveFromLine(in.Bytes(in.Pick(24)));
        break;
    }
  }
  run.Pause(500);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  uint64_t seed = in.Word();
  RunOnce("sequences", seed + 1, [&](Run& run) { Body(run, in); });
  return 0;
}
