// Concurrency scenarios under controlled scheduling. Each run plugs in an adapter with a
// loopback plug, lets application threads race the driver's own threads, and then checks the
// oracles: every request completed (exactly once: the verifier reports a second completion),
// the verifier clean, no deadlock (the scheduler reports one), nothing leaked (the machine's
// shutdown reports lost requests), and the data that came back equal to the data sent.
//
//   orvix-explore --list
//   orvix-explore --scenario NAME [--seed S] [--seeds N] [--quiet]
//   orvix-explore --regressions [--scenario NAME] [--quiet]
//
// Seeds S .. S+N-1 run in turn; the first failing seed ends the program with status 1 after
// printing its findings and a command that replays it. EXPLORE_DEBUG=1 in the environment
// prints a few scenarios' steps (writes, planted faults, Plug and Play results) as they happen.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "app/comm.h"
#include "app/win32.h"
#include "kernel/clock.h"
#include "kernel/scheduler.h"
#include "io/io_manager.h"
#include "kernel/verifier.h"
#include "pnp/pnp_manager.h"
#include "rtl/strings.h"
#include "sim/machine.h"
#include "sim/orvix.h"
#include "usb/bus.h"

namespace {

using namespace hk;
using namespace ::win32;

constexpr DWORD kRequestLimitMs = 30000;  // virtual time any one request may take
constexpr UCHAR kBulkIn = 0x81, kBulkOut = 0x02, kCredit = 0x83;

struct Run {
  uint64_t Seed = 0;
  Machine* Host = nullptr;
  std::shared_ptr<adapter::Adapter> Device;
  pnp::DeviceNode* Node = nullptr;
  std::mutex FailLock;  // guards Failures; held for no kernel call
  std::vector<std::string> Failures;

  void Fail(const std::string& what) {
    std::lock_guard<std::mutex> guard(FailLock);
    Failures.push_back(what);
  }
  void Check(bool ok, const std::string& what) {
    if (!ok) Fail(what);
  }
  // A random stream of the scenario's own, one per thread, derived from the seed.
  std::mt19937 Random(unsigned stream) const { return std::mt19937((unsigned)(Seed * 7919 + stream)); }
};

std::string Hex(ULONG v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", (unsigned)v);
  return text;
}

// Printable and never a flow-control or event character; the period is long enough that a
// repeated or reordered chunk does not look like the pattern.
UCHAR PatternAt(size_t i) { return (UCHAR)(0x20 + (i * 7 + i / 83) % 90); }

uint64_t Checksum(const std::vector<UCHAR>& data) {
  uint64_t h = 14695981039346656037ULL;
  for (UCHAR c : data) h = (h ^ c) * 1099511628211ULL;
  return h;
}

struct Io {
  OVERLAPPED Ov{};
  Io() { Ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~Io() { CloseHandle(Ov.hEvent); }
  Io(const Io&) = delete;
  Io& operator=(const Io&) = delete;
};

// Waits for an overlapped request; one that does not finish in time is a failure.
NTSTATUS Finish(Run& run, HANDLE h, Io& io, const char* what, DWORD* bytes = nullptr) {
  if ((NTSTATUS)io.Ov.Internal == STATUS_PENDING &&
      WaitForSingleObject(io.Ov.hEvent, kRequestLimitMs) == WAIT_TIMEOUT) {
    run.Fail(std::string(what) + " never completed");
    CancelIoEx(h, &io.Ov);
    if (WaitForSingleObject(io.Ov.hEvent, kRequestLimitMs) == WAIT_TIMEOUT)
      run.Fail(std::string(what) + " did not complete even when cancelled");
  }
  if (bytes) *bytes = (DWORD)io.Ov.InternalHigh;
  return (NTSTATUS)io.Ov.Internal;
}

void Pause(DWORD ms) {
  HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  WaitForSingleObject(never, ms);
  CloseHandle(never);
}

// The port is exclusive, and a closed handle lets it go only once its last request is done and
// the close has followed on a worker thread: an open refused meanwhile is tried again shortly,
// as an application does.
// Opened through the port's device interface, which stays while a stop withdraws the COM name.
HANDLE OpenPort() {
  const GUID portInterface = {0x5E1C7A42, 0x9B3D, 0x4F06, {0xA8, 0xE1, 0x2C, 0x47, 0xD9, 0xB0, 0xF3, 0x15}};
  auto interfaces = io::EnabledInterfaces(portInterface);
  std::string path = interfaces.size() == 1 ? rtl::ToAscii(interfaces[0]) : "\\\\.\\COM5";
  if (path.rfind("\\??\\", 0) == 0) path = "\\\\?\\" + path.substr(4);
  for (int attempt = 0;; ++attempt) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    // ERROR_ACCESS_DENIED, as an application sees it (STATUS_ACCESS_DENIED, or
    // STATUS_DELETE_PENDING from an open that meets the previous close in the driver).
    if (h != INVALID_HANDLE_VALUE || GetLastError() != 5 || attempt == 60) return h;
    // A close whose line change the adapter holds back waits a second for it: after the first
    // quick tries, the pauses grow to outlast that.
    Pause(attempt < 20 ? 1 : 50);
  }
}

DCB Settings(HANDLE h, bool flowControl) {
  DCB dcb{};
  GetCommState(h, &dcb);
  dcb.BaudRate = CBR_115200;
  dcb.ByteSize = 8;
  dcb.Parity = 0;
  dcb.StopBits = 0;
  dcb.fOutxCtsFlow = flowControl;
  dcb.fRtsControl = flowControl ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fOutX = dcb.fInX = 0;
  return dcb;
}

NTSTATUS Ioctl(Run& run, HANDLE h, ULONG code, void* in, ULONG inLength, void* out = nullptr, ULONG outLength = 0) {
  Io io;
  DWORD returned = 0;
  DeviceIoControl(h, code, in, inLength, out, outLength, &returned, &io.Ov);
  return Finish(run, h, io, "a device-control request");
}

// Input flow control engages with 120 characters waiting and lets go again below 40, so that
// RTS (and through the plug CTS, holding the writes) moves all the time under a slow reader.
void TightFlowLimits(Run& run, HANDLE h) {
  SERIAL_HANDFLOW flow{};
  NTSTATUS status = Ioctl(run, h, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &flow, sizeof flow);
  run.Check(status == STATUS_SUCCESS, "GET_HANDFLOW failed: " + Hex(status));
  flow.XonLimit = 40;
  flow.XoffLimit = 800000 - 120;
  status = Ioctl(run, h, IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow);
  run.Check(status == STATUS_SUCCESS, "SET_HANDFLOW failed: " + Hex(status));
}

bool Configure(Run& run, HANDLE h, bool flowControl) {
  DCB dcb = Settings(h, flowControl);
  bool ok = SetCommState(h, &dcb);
  run.Check(ok, "SetCommState failed: " + std::to_string(GetLastError()));
  if (ok && flowControl) TightFlowLimits(run, h);
  // Reads return what is there, or wait at most 200 ms for the first character; a write held
  // by flow control gives up after two seconds.
  COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 200, 0, 2000};
  run.Check(SetCommTimeouts(h, &timeouts), "SetCommTimeouts failed");
  return ok;
}

// Writes `total` characters of the pattern from `offset` in chunks. With `strict` every write
// must succeed; otherwise what a cancelled or purged write took counts as attempted.
void Writer(Run& run, HANDLE h, std::vector<UCHAR>& sent, size_t offset, size_t total, unsigned stream,
            bool strict, const std::atomic<bool>* stop = nullptr) {
  std::mt19937 random = run.Random(stream);
  int retries = 0;
  for (size_t done = 0; done < total && !(stop && *stop);) {
    size_t n = std::min<size_t>(total - done, 1 + random() % 160);
    std::vector<UCHAR> data(n);
    for (size_t i = 0; i < n; ++i) data[i] = PatternAt(offset + done + i);
    Io io;
    WriteFile(h, data.data(), (DWORD)n, nullptr, &io.Ov);
    DWORD written = 0;
    NTSTATUS status = Finish(run, h, io, "a write", &written);
    if (getenv("EXPLORE_DEBUG"))
      std::printf("%.3f ms: write of %zu at %zu: %08X, %u written\n", clock::Now() / 1e4, n, offset + done,
                  (unsigned)status, (unsigned)written);
    // Held by flow control past its time-out: nothing of it went out, so it goes again.
    if (status == STATUS_TIMEOUT && written == 0 && ++retries <= 20) continue;
    // Refused for a moment (the buffer still sends what a cancelled write left, a removal is
    // being queried, another write is ending): tried again a little later, for a second.
    if ((status == STATUS_DELETE_PENDING || status == STATUS_DEVICE_BUSY) && written == 0 && ++retries <= 100) {
      Pause(1);
      continue;
    }
    retries = 0;
    if (strict) {
      run.Check(status == STATUS_SUCCESS && written == n,
                "a write ended with " + Hex(status) + " after " + std::to_string(written) + " of " +
                    std::to_string(n) + " characters");
    } else if (status == STATUS_INVALID_HANDLE || status == STATUS_DEVICE_NOT_CONNECTED ||
               status == STATUS_DELETE_PENDING) {
      sent.insert(sent.end(), data.begin(), data.end());
      return;
    }
    sent.insert(sent.end(), data.begin(), data.end());
    done += n;
  }
}

// Reads until `expected` characters came or, without a count, until `stop` is set and the
// port stays quiet; a port quiet for seconds while characters are owed is a failure.
void Reader(Run& run, HANDLE h, std::vector<UCHAR>& got, size_t expected, unsigned stream,
            const std::atomic<bool>* stop = nullptr, size_t piece = 200) {
  std::mt19937 random = run.Random(stream);
  int quiet = 0;
  for (;;) {
    if (expected && got.size() >= expected) return;
    if (!expected && stop && *stop && quiet >= 3) return;
    if (quiet >= 50) {
      if (expected)
        run.Fail("only " + std::to_string(got.size()) + " of " + std::to_string(expected) +
                 " characters came back");
      return;
    }
    std::vector<UCHAR> buffer(1 + random() % piece);
    Io io;
    ReadFile(h, buffer.data(), (DWORD)buffer.size(), nullptr, &io.Ov);
    DWORD n = 0;
    NTSTATUS status = Finish(run, h, io, "a read", &n);
    if (status == STATUS_INVALID_HANDLE || status == STATUS_DEVICE_NOT_CONNECTED ||
        status == STATUS_DELETE_PENDING)
      return;
    run.Check(n <= buffer.size(), "a read returned more than its buffer holds");
    got.insert(got.end(), buffer.begin(), buffer.begin() + std::min<size_t>(n, buffer.size()));
    quiet = n ? 0 : quiet + 1;
  }
}

void ExpectEqual(Run& run, const std::vector<UCHAR>& sent, const std::vector<UCHAR>& got, const char* what) {
  if (Checksum(sent) == Checksum(got) && sent == got) return;
  size_t i = 0;
  while (i < sent.size() && i < got.size() && sent[i] == got[i]) ++i;
  // Where in the pattern the first wrong characters come from: an earlier stream shows as a
  // position before this one's.
  std::string origin;
  if (i + 4 <= got.size()) {
    for (size_t k = 0; k < 20000 && origin.empty(); ++k)
      if (PatternAt(k) == got[i] && PatternAt(k + 1) == got[i + 1] && PatternAt(k + 2) == got[i + 2] &&
          PatternAt(k + 3) == got[i + 3])
        origin = ", where pattern position " + std::to_string(k) + " came";
  }
  run.Fail(std::string(what) + ": " + std::to_string(got.size()) + " characters came back for " +
           std::to_string(sent.size()) + " sent, first difference at " + std::to_string(i) + origin);
}

// What a purge or cancellation may drop is lost, but nothing may be added, repeated or moved.
void ExpectSubsequence(Run& run, const std::vector<UCHAR>& sent, const std::vector<UCHAR>& got, const char* what) {
  size_t j = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    while (j < sent.size() && sent[j] != got[i]) ++j;
    if (j == sent.size()) {
      run.Fail(std::string(what) + ": character " + std::to_string(i) + " of " + std::to_string(got.size()) +
               " was never sent in that order");
      return;
    }
    ++j;
  }
}

// A fresh stream written and read back whole: the port still moves data both ways.
void RoundTrip(Run& run, HANDLE h, size_t length, size_t offset, const char* what) {
  std::vector<UCHAR> sent, got;
  std::thread reader = sched::Spawn([&] { Reader(run, h, got, length, 90); });
  Writer(run, h, sent, offset, length, 91, true);
  sched::Join(reader);
  ExpectEqual(run, sent, got, what);
}

// Empties both directions so that a later round trip sees only its own characters.
void Drain(Run& run, HANDLE h) {
  std::vector<UCHAR> junk;
  std::atomic<bool> stop{true};
  Reader(run, h, junk, 0, 92, &stop);
  run.Check(PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR), "PurgeComm failed");
}

// ---- Scenarios ----

// Three threads on one handle with RTS/CTS flow control: a writer, a reader that reads in
// small pieces (so the receive side throttles), and a thread changing settings and DTR,
// waiting for events and reading the status. All data comes back; the last DTR the
// application chose is on the line; RTS is up again once the buffer is empty.
void FlowControlMix(Run& run) {
  HANDLE h = OpenPort();
  if (h == INVALID_HANDLE_VALUE) return run.Fail("open failed: " + Hex(GetLastNtStatus()));
  Configure(run, h, true);
  const size_t total = 1200;
  std::vector<UCHAR> sent, got;
  bool lastDtr = false;
  std::thread reader = sched::Spawn([&] { Reader(run, h, got, total, 1, nullptr, 24); });
  std::atomic<bool> written{false};
  std::thread control = sched::Spawn([&] {
    std::mt19937 random = run.Random(2);
    for (int step = 0; step < 40 && !written; ++step) {
      switch (random() % 6) {
        case 0: {
          DCB dcb = Settings(h, true);
          dcb.BaudRate = random() % 2 ? CBR_115200 : CBR_57600;
          run.Check(SetCommState(h, &dcb), "SetCommState failed");
          TightFlowLimits(run, h);
          lastDtr = false;  // DTR_CONTROL_DISABLE lowers it
          break;
        }
        case 1:
        case 4:
        case 5: {
          bool up = random() % 2;
          run.Check(EscapeCommFunction(h, up ? SETDTR : CLRDTR), "EscapeCommFunction failed");
          lastDtr = up;
          break;
        }
        case 2: {
          SetCommMask(h, EV_RXCHAR | EV_TXEMPTY | EV_CTS | EV_DSR);
          DWORD events = 0;
          Io io;
          WaitCommEvent(h, &events, &io.Ov);
          // The stream may be over, with no event left to come: a wait still pending after
          // half a second is ended by changing the mask.
          bool maskChanged = random() % 2 ||
                             ((NTSTATUS)io.Ov.Internal == STATUS_PENDING &&
                              WaitForSingleObject(io.Ov.hEvent, 500) == WAIT_TIMEOUT);
          if (maskChanged) SetCommMask(h, EV_RXCHAR);
          NTSTATUS status = Finish(run, h, io, "WaitCommEvent");
          // Only a change of the mask ends a wait with no event.
          run.Check(maskChanged || status != STATUS_SUCCESS || events != 0,
                    "a pending WaitCommEvent completed with no event");
          break;
        }
        default: {
          DWORD errors = 0, modem = 0;
          COMSTAT status{};
          run.Check(ClearCommError(h, &errors, &status), "ClearCommError failed");
          run.Check(GetCommModemStatus(h, &modem), "GetCommModemStatus failed");
          break;
        }
      }
    }
    bool up = random() % 2;
    run.Check(EscapeCommFunction(h, up ? SETDTR : CLRDTR), "EscapeCommFunction failed");
    lastDtr = up;
  });
  Writer(run, h, sent, 0, total, 3, true);
  written = true;
  sched::Join(control);
  sched::Join(reader);
  ExpectEqual(run, sent, got, "the flow-controlled stream");
  Pause(100);
  run.Check(run.Device->Dtr() == lastDtr, std::string("DTR is ") + (run.Device->Dtr() ? "up" : "down") +
                                              " on the line, but the application last made it " +
                                              (lastDtr ? "up" : "down"));
  run.Check(run.Device->Rts(), "RTS is down with an empty receive buffer under RTS handshake");
  CloseHandle(h);
}

// Writes and reads racing purges, CancelIoEx and event waits; afterwards the port must still
// move a fresh stream both ways.
void PurgeCancel(Run& run) {
  HANDLE h = OpenPort();
  if (h == INVALID_HANDLE_VALUE) return run.Fail("open failed: " + Hex(GetLastNtStatus()));
  Configure(run, h, true);
  std::vector<UCHAR> sent, got;
  std::atomic<bool> stop{false};
  std::thread reader = sched::Spawn([&] { Reader(run, h, got, 0, 1, &stop); });
  std::thread churn = sched::Spawn([&] {
    std::mt19937 random = run.Random(2);
    for (int step = 0; step < 6; ++step) {
      switch (random() % 3) {
        case 0: PurgeComm(h, 1 + random() % 15); break;
        case 1: CancelIoEx(h, nullptr); break;
        default: {
          SetCommMask(h, EV_RXCHAR | EV_TXEMPTY);
          DWORD events = 0;
          Io io;
          WaitCommEvent(h, &events, &io.Ov);
          if (random() % 2) CancelIoEx(h, &io.Ov);
          else SetCommMask(h, 0);
          Finish(run, h, io, "WaitCommEvent");
        }
      }
      Pause(random() % 3);
    }
  });
  Writer(run, h, sent, 0, 900, 3, false);
  sched::Join(churn);
  stop = true;
  sched::Join(reader);
  ExpectSubsequence(run, sent, got, "the purged stream");
  Drain(run, h);
  RoundTrip(run, h, 300, 5000, "the stream after the purges");
  CloseHandle(h);
}

// A read for more than will ever come, ended by a purge (or, for some seeds, by its total
// time-out) while characters are arriving: it must end, with what it took in order.
void PurgeAbort(Run& run) {
  HANDLE h = OpenPort();
  if (h == INVALID_HANDLE_VALUE) return run.Fail("open failed: " + Hex(GetLastNtStatus()));
  Configure(run, h, false);
  std::mt19937 random = run.Random(4);
  bool byTimeout = random() % 2;
  COMMTIMEOUTS timeouts{0, 0, byTimeout ? 30u : 0u, 0, 0};
  run.Check(SetCommTimeouts(h, &timeouts), "SetCommTimeouts failed");
  std::vector<UCHAR> sent, got;
  std::atomic<bool> issued{false};
  std::thread reader = sched::Spawn([&] {
    std::vector<UCHAR> buffer(10000);
    Io io;
    ReadFile(h, buffer.data(), (DWORD)buffer.size(), nullptr, &io.Ov);
    issued = true;
    DWORD n = 0;
    NTSTATUS status = Finish(run, h, io, byTimeout ? "a read with a total time-out" : "a read aborted by a purge", &n);
    run.Check(n < buffer.size(), "a read took more than was sent");
    run.Check(status == (byTimeout ? STATUS_TIMEOUT : STATUS_CANCELLED) || status == STATUS_SUCCESS,
              "the read ended with " + Hex(status));
    got.assign(buffer.begin(), buffer.begin() + std::min<size_t>(n, buffer.size()));
  });
  std::thread writer = sched::Spawn([&] { Writer(run, h, sent, 0, 120, 2, true); });
  while (!issued) Pause(1);
  Pause(random() % 3);
  if (!byTimeout) run.Check(PurgeComm(h, PURGE_RXABORT), "PurgeComm failed");
  sched::Join(reader);
  sched::Join(writer);
  ExpectSubsequence(run, sent, got, "the aborted read");
  CloseHandle(h);
}

// Bulk-in, bulk-out and credit transfers failing while a stream flows; the driver retries
// reading a second later. Afterwards a fresh stream must come back whole.
void UsbFaults(Run& run) {
  HANDLE h = OpenPort();
  if (h == INVALID_HANDLE_VALUE) return run.Fail("open failed: " + Hex(GetLastNtStatus()));
  Configure(run, h, false);
  std::vector<UCHAR> sent, got;
  std::atomic<bool> stop{false};
  std::thread reader = sched::Spawn([&] { Reader(run, h, got, 0, 1, &stop); });
  std::thread faults = sched::Spawn([&] {
    std::mt19937 random = run.Random(2);
    const UCHAR endpoints[] = {kBulkIn, kBulkOut, kCredit};
    for (int step = 0; step < 4; ++step) {
      UCHAR endpoint = endpoints[random() % 3];
      if (getenv("EXPLORE_DEBUG")) std::printf("%.3f ms: fail next on %02X\n", clock::Now() / 1e4, endpoint);
      run.Device->FailNext(endpoint, random() % 2 ? USBD_STATUS_STALL_PID : USBD_STATUS_DEV_NOT_RESPONDING);
      Pause(random() % 40);
    }
  });
  Writer(run, h, sent, 0, 600, 3, false);
  sched::Join(faults);
  run.Device->ClearPlantedFaults();
  Pause(1500);  // past the retry
  stop = true;
  sched::Join(reader);
  ExpectSubsequence(run, sent, got, "the stream with failing transfers");
  // A failed transfer stops the writer with its data left in the buffer, to go on at the next
  // write (a purge does not empty it): one short write sends it on before the port is drained.
  std::vector<UCHAR> primer;
  Writer(run, h, primer, 20000, 10, 5, false);
  Drain(run, h);
  if (getenv("EXPLORE_DEBUG"))
    std::printf("%.3f ms: storm sent %zu got %zu, adapter holds %zu received characters, %u free units\n",
                clock::Now() / 1e4, sent.size(), got.size(), run.Device->ReceivedWaiting(),
                (unsigned)run.Device->FreeUnits());
  RoundTrip(run, h, 300, 7000, "the stream after the failed transfers");
  CloseHandle(h);
}

// The handle closes while requests are in flight (and, for some seeds, while the adapter holds
// a bulk transfer), then the port opens again at once: only the new characters come back.
void CloseReopen(Run& run) {
  HANDLE h = OpenPort();
  if (h == INVALID_HANDLE_VALUE) return run.Fail("open failed: " + Hex(GetLastNtStatus()));
  Configure(run, h, false);
  std::mt19937 random = run.Random(4);
  if (random() % 2) run.Device->StallNext(kBulkOut);
  if (random() % 2) run.Device->StallNext(kBulkIn);
  std::vector<UCHAR> sent, got;
  std::atomic<bool> stop{false};
  std::thread reader = sched::Spawn([&] { Reader(run, h, got, 0, 1, &stop); });
  std::thread writer = sched::Spawn([&] { Writer(run, h, sent, 0, 400, 2, false, &stop); });
  Pause(random() % 3);
  stop = true;
  CloseHandle(h);
  sched::Join(writer);
  sched::Join(reader);
  // A hold no transfer took before the close would hold the new session's first transfer.
  run.Device->ClearPlantedFaults();
  HANDLE again = OpenPort();
  if (again == INVALID_HANDLE_VALUE) return run.Fail("the reopen failed: " + Hex(GetLastNtStatus()));
  Configure(run, again, false);
  RoundTrip(run, again, 300, 9000, "the stream after the reopen");
  CloseHandle(again);
}

// The adapter disappears while requests are in flight: every request ends, the handle closes,
// and the device is removed without anything left behind.
void SurpriseRemoval(Run& run) {
  HANDLE h = OpenPort();
  if (h == INVALID_HANDLE_VALUE) return run.Fail("open failed: " + Hex(GetLastNtStatus()));
  Configure(run, h, true);
  std::vector<UCHAR> sent, got;
  std::atomic<bool> stop{false};
  std::thread reader = sched::Spawn([&] { Reader(run, h, got, 0, 1, &stop); });
  std::thread writer = sched::Spawn([&] { Writer(run, h, sent, 0, 2000, 2, false, &stop); });
  std::thread waiter = sched::Spawn([&] {
    SetCommMask(h, EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD);
    for (int i = 0; i < 3 && !stop; ++i) {
      DWORD events = 0;
      Io io;
      WaitCommEvent(h, &events, &io.Ov);
      // Once the removal's line changes were taken, nothing more happens: a wait stays
      // pending until it is cancelled, which it must then be.
      if ((NTSTATUS)io.Ov.Internal == STATUS_PENDING && WaitForSingleObject(io.Ov.hEvent, 300) == WAIT_TIMEOUT)
        CancelIoEx(h, &io.Ov);
      Finish(run, h, io, "WaitCommEvent");
    }
  });
  Pause(run.Random(4)() % 5);
  usb::Unplug(run.Node);
  stop = true;
  sched::Join(waiter);
  sched::Join(writer);
  sched::Join(reader);
  ExpectSubsequence(run, sent, got, "the stream cut by the removal");
  CloseHandle(h);
  Pause(100);
  run.Check(run.Node->State == pnp::DeviceState::Removed, "the device was not removed after the close");
  run.Node = nullptr;
}

// QUERY_REMOVE then CANCEL_REMOVE, or a CANCEL_REMOVE the driver never saw a query for, while
// a stream flows: nothing is added to the stream, and a fresh one after it comes back whole.
void RemoveCancelled(Run& run) {
  HANDLE h = OpenPort();
  if (h == INVALID_HANDLE_VALUE) return run.Fail("open failed: " + Hex(GetLastNtStatus()));
  Configure(run, h, true);
  std::mt19937 random = run.Random(4);
  std::vector<UCHAR> sent, got;
  std::atomic<bool> stop{false};
  std::thread reader = sched::Spawn([&] { Reader(run, h, got, 0, 1, &stop); });
  std::thread pnpThread = sched::Spawn([&] {
    for (int i = 0; i < 2; ++i) {
      Pause(random() % 4);
      if (random() % 2) pnp::QueryRemoveThenCancel(run.Node);
      else pnp::SendPnp(run.Node, IRP_MN_CANCEL_REMOVE_DEVICE);
    }
  });
  // A query-remove aborts the current read and write: what they carried may be lost.
  Writer(run, h, sent, 0, 800, 3, false);
  sched::Join(pnpThread);
  stop = true;
  sched::Join(reader);
  ExpectSubsequence(run, sent, got, "the stream across the cancelled removals");
  Drain(run, h);
  RoundTrip(run, h, 200, 3000, "the stream after the cancelled removals");
  CloseHandle(h);
}

// Stop and start (rebalance) racing an application that opens the port, uses it and closes
// it: an open either fails or gets a port that works; afterwards the port works.
void StopStart(Run& run) {
  std::mt19937 random = run.Random(4);
  std::thread app = sched::Spawn([&] {
    for (int i = 0; i < 2; ++i) {
      HANDLE h = OpenPort();
      if (getenv("EXPLORE_DEBUG")) std::printf("app open %d: %x\n", i, h == INVALID_HANDLE_VALUE ? (unsigned)GetLastNtStatus() : 0u);
      if (h == INVALID_HANDLE_VALUE) continue;
      if (Configure(run, h, false)) RoundTrip(run, h, 100, 1000 * (size_t)(i + 1), "the stream of an open racing a stop");
      CloseHandle(h);
    }
  });
  Pause(random() % 3);
  bool restart = random() % 2;
  NTSTATUS query = restart ? pnp::StopAndRestart(run.Node) : pnp::QueryStopThenCancel(run.Node);
  if (getenv("EXPLORE_DEBUG")) std::printf("restart %d query %x\n", restart, (unsigned)query);
  sched::Join(app);
  run.Check(run.Node->State == pnp::DeviceState::Started, "the device did not start again");
  HANDLE h = OpenPort();
  if (h == INVALID_HANDLE_VALUE) return run.Fail("open after the restart failed: " + Hex(GetLastNtStatus()));
  Configure(run, h, false);
  RoundTrip(run, h, 200, 4000, "the stream after the restart");
  CloseHandle(h);
}

// Two threads applying different line settings at once, a third reading them: every valid
// request is taken, and what the port reports is what the adapter was sent last.
void LineSettings(Run& run) {
  HANDLE h = OpenPort();
  if (h == INVALID_HANDLE_VALUE) return run.Fail("open failed: " + Hex(GetLastNtStatus()));
  Configure(run, h, false);
  auto setter = [&](unsigned stream, BYTE byteSize, BYTE parity, BYTE stopBits, DWORD baud) {
    std::mt19937 random = run.Random(stream);
    for (int i = 0; i < 3; ++i) {
      DCB dcb = Settings(h, false);
      dcb.ByteSize = byteSize;
      dcb.Parity = parity;
      dcb.StopBits = stopBits;
      dcb.BaudRate = random() % 2 ? baud : CBR_9600;
      run.Check(SetCommState(h, &dcb), "a valid SetCommState was refused: " + std::to_string(GetLastError()));
    }
  };
  std::thread first = sched::Spawn([&] { setter(1, 7, 2, 2, CBR_57600); });
  std::thread second = sched::Spawn([&] { setter(2, 8, 0, 0, CBR_19200); });
  std::thread reader = sched::Spawn([&] {
    for (int i = 0; i < 3; ++i) {
      DCB dcb{};
      run.Check(GetCommState(h, &dcb), "GetCommState failed");
      COMMTIMEOUTS timeouts{};
      run.Check(GetCommTimeouts(h, &timeouts), "GetCommTimeouts failed");
    }
  });
  sched::Join(first);
  sched::Join(second);
  sched::Join(reader);
  // Going to another rate and back to what the port reports must send the adapter the block
  // it already has.
  auto before = run.Device->LineSettings();
  DCB now{};
  run.Check(GetCommState(h, &now), "GetCommState failed");
  DCB other = now;
  other.BaudRate = now.BaudRate == CBR_38400 ? CBR_9600 : CBR_38400;
  run.Check(SetCommState(h, &other), "SetCommState of another rate failed");
  run.Check(SetCommState(h, &now), "SetCommState of the reported settings failed");
  auto after = run.Device->LineSettings();
  if (!before.empty() && !after.empty())
    run.Check(before.back() == after.back(), "the adapter's line settings differ from what the port reports");
  CloseHandle(h);
}

struct Scenario {
  const char* Name;
  void (*Body)(Run&);
  bool Throttled;  // characters at the UART's rate: transfers complete late
  uint64_t Steps;  // about how many points a run passes
};

const Scenario kScenarios[] = {
    {"flow-control-mix", FlowControlMix, false, 36000},
    {"purge-cancel", PurgeCancel, false, 32000},
    {"purge-abort", PurgeAbort, false, 1000},
    {"usb-faults", UsbFaults, true, 50000},
    {"close-reopen", CloseReopen, false, 15000},
    {"surprise-removal", SurpriseRemoval, false, 30000},
    {"remove-cancelled", RemoveCancelled, false, 29000},
    {"stop-start", StopStart, false, 12500},
    {"line-settings", LineSettings, false, 2100},
};

// Seeds that once found a fault, with what they found. `--regressions` runs them (a test does,
// and tools/explore.sh with every scenario it runs), whatever the interleaving each gives now.
struct Regression {
  const char* Scenario;
  uint64_t Seed;
};

const Regression kRegressions[] = {
    // An open refused during the close cleared the closing flag: the reader went on submitting
    // bulk-in transfers behind the close's cancel, and the reopen submitted the IRP still in flight.
    {"close-reopen", 395},
    // The bus handed the adapter a bulk-out transfer the close had cancelled only after the
    // reopen: its characters came back through the loopback plug in the new session.
    {"close-reopen", 9055},
    {"close-reopen", 10025},
    // The adapter held the close's line change, and the reopen gave up before the close's
    // second of patience was over.
    {"close-reopen", 8571},
};

const Scenario* g_scenario = nullptr;
uint64_t g_seed = 0;

std::string ReplayCommand() {
  return "tools/explore.sh --scenario " + std::string(g_scenario->Name) + " --seed " + std::to_string(g_seed);
}

[[noreturn]] void Failed(const std::string& findings) {
  std::printf("FAIL %s seed %llu\n%s  replay: %s\n", g_scenario->Name, (unsigned long long)g_seed,
              findings.c_str(), ReplayCommand().c_str());
  std::fflush(stdout);
  std::_Exit(1);
}

sched::RunResult RunOnce(const Scenario& scenario, uint64_t seed) {
  g_seed = seed;
  sched::RunOptions options;
  options.Seed = seed;
  options.TimeLimit = 600LL * 10000000;
  options.Steps = scenario.Steps;
  options.OnFailure = [](const std::string& report) { Failed("  " + report); };
  verifier::SetEcho(false);
  Run run;
  run.Seed = seed;
  sched::Begin(options);
  {
    MachineOptions machineOptions;
    machineOptions.Driver = DriverEntry;
    Machine machine(machineOptions);
    adapter::AdapterOptions adapterOptions;
    adapterOptions.Serial = u"A0001";
    adapterOptions.Partner = adapter::LinePartner::Loopback;
    adapterOptions.Unthrottled = !scenario.Throttled;
    run.Host = &machine;
    run.Device = std::make_shared<adapter::Adapter>(adapterOptions);
    run.Node = machine.PlugIn(run.Device);
    if (!run.Node || run.Node->State != pnp::DeviceState::Started) run.Fail("the adapter did not start");
    else scenario.Body(run);
    machine.Shutdown();
  }
  sched::RunResult result = sched::End();
  std::string findings;
  for (const auto& f : run.Failures) findings += "  " + f + "\n";
  auto reports = verifier::Take();
  if (!reports.empty()) findings += "  verifier findings:\n" + verifier::Describe(reports);
  if (!findings.empty()) Failed(findings);
  return result;
}

int Usage() {
  std::fprintf(stderr,
               "usage: orvix-explore --list | --scenario NAME [--seed S] [--seeds N] [--quiet]\n"
               "       orvix-explore --regressions [--scenario NAME] [--quiet]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string name;
  uint64_t first = 1, count = 1;
  bool quiet = false;
  bool regressions = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--list") {
      for (const auto& s : kScenarios) std::printf("%s\n", s.Name);
      return 0;
    }
    if (arg == "--quiet") quiet = true;
    else if (arg == "--regressions") regressions = true;
    else if (arg == "--scenario" && i + 1 < argc) name = argv[++i];
    else if (arg == "--seed" && i + 1 < argc) first = std::strtoull(argv[++i], nullptr, 10);
    else if (arg == "--seeds" && i + 1 < argc) count = std::strtoull(argv[++i], nullptr, 10);
    else return Usage();
  }
  auto find = [](const std::string& wanted) -> const Scenario* {
    for (const auto& s : kScenarios)
      if (wanted == s.Name) return &s;
    return nullptr;
  };
  if (regressions) {
    if (!name.empty() && !find(name)) return Usage();
    for (const auto& r : kRegressions) {
      if (!name.empty() && name != r.Scenario) continue;
      g_scenario = find(r.Scenario);
      if (!g_scenario) return Usage();
      sched::RunResult result = RunOnce(*g_scenario, r.Seed);
      if (!quiet)
        std::printf("pass %s seed %llu trace %016llx (regression)\n", g_scenario->Name, (unsigned long long)r.Seed,
                    (unsigned long long)result.TraceHash);
    }
    std::fflush(stdout);
    return 0;
  }
  g_scenario = find(name);
  if (!g_scenario) return Usage();
  for (uint64_t seed = first; seed < first + count; ++seed) {
    sched::RunResult result = RunOnce(*g_scenario, seed);
    if (!quiet)
      std::printf("pass %s seed %llu trace %016llx steps %llu switches %llu\n", g_scenario->Name,
                  (unsigned long long)seed, (unsigned long long)result.TraceHash,
                  (unsigned long long)result.Steps, (unsigned long long)result.Switches);
  }
  std::fflush(stdout);
  return 0;
}
