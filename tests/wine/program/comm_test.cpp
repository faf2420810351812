// The Windows side of the Wine tier: an application using kernel32's comm functions on the
// port ORVIX.sys made, the way programs use a COM port. The adapter behind it has a loopback
// plug (TX to RX, RTS to CTS, DTR to DSR and DCD). Usage: comm_test COMn
// Prints one "PASS:" or "FAIL:" line per check and a verdict line; exits with the failures.
//
// Two things in Wine's user mode are Wine's own and are handled here, not counted as faults:
// - while an overlapped serial IOCTL is pending, Wine shows OVERLAPPED.Internal as
//   0xC00000CB and HasOverlappedIoCompleted as TRUE, so completion is awaited on the event;
// - a read that completes with STATUS_TIMEOUT (a success on Windows) fails with ERROR_TIMEOUT;
// - CreateFile does not wait for the driver's answer to the create, so a refused open still
//   returns a handle; the driver's refusal shows on the first request made with it.
#include <windows.h>
#include <setupapi.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../bus/bus_protocol.h"

namespace {

int g_passed = 0;
int g_failed = 0;

void Check(bool ok, const char* name, const char* format = "", ...) {
  char detail[512] = "";
  va_list args;
  va_start(args, format);
  std::vsnprintf(detail, sizeof detail, format, args);
  va_end(args);
  if (ok) ++g_passed;
  else ++g_failed;
  std::printf("%s: %s%s%s\n", ok ? "PASS" : "FAIL", name, detail[0] ? ": " : "", detail);
  std::fflush(stdout);
}

std::string g_path;

HANDLE Open(const std::string& path, DWORD* error = nullptr) {
  HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  if (error) *error = port == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  return port;
}

struct Overlapped {
  OVERLAPPED Ov{};
  Overlapped() { Ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~Overlapped() { CloseHandle(Ov.hEvent); }
  void Reset() {
    HANDLE e = Ov.hEvent;
    std::memset(&Ov, 0, sizeof Ov);
    Ov.hEvent = e;
    ResetEvent(e);
  }
};

// Waits for an overlapped operation on its event (see above), then takes its result.
// Returns false with *error on failure; WAIT_TIMEOUT when it did not finish in time.
bool Finish(HANDLE port, Overlapped& o, BOOL started, DWORD* bytes, DWORD* error, DWORD ms) {
  *error = 0;
  *bytes = 0;
  if (!started && GetLastError() != ERROR_IO_PENDING) {
    *error = GetLastError();
    return false;
  }
  if (WaitForSingleObject(o.Ov.hEvent, ms) != WAIT_OBJECT_0) {
    *error = WAIT_TIMEOUT;
    return false;
  }
  if (!GetOverlappedResult(port, &o.Ov, bytes, FALSE)) {
    *error = GetLastError();
    return false;
  }
  return true;
}

bool Write(HANDLE port, const void* data, DWORD size, DWORD ms = 20000) {
  Overlapped o;
  DWORD bytes, error;
  BOOL started = WriteFile(port, data, size, nullptr, &o.Ov);
  return Finish(port, o, started, &bytes, &error, ms) && bytes == size;
}

// A read that ends by its time-outs; timed-out reads count as success with what they got.
DWORD Read(HANDLE port, void* data, DWORD size, DWORD* error, DWORD ms = 20000) {
  Overlapped o;
  DWORD bytes;
  BOOL started = ReadFile(port, data, size, nullptr, &o.Ov);
  if (Finish(port, o, started, &bytes, error, ms)) return bytes;
  if (*error == ERROR_TIMEOUT) {  // Wine's translation of STATUS_TIMEOUT
    *error = 0;
    return (DWORD)o.Ov.InternalHigh;
  }
  return bytes;
}

void SetTimeouts(HANDLE port, DWORD interval, DWORD multiplier, DWORD constant) {
  COMMTIMEOUTS t{interval, multiplier, constant, 0, 0};
  SetCommTimeouts(port, &t);
}

bool Configure(HANDLE port, DWORD baud, BYTE size, BYTE parity, BYTE stop) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(port, &dcb)) return false;
  dcb.BaudRate = baud;
  dcb.ByteSize = size;
  dcb.Parity = parity;
  dcb.StopBits = stop;
  dcb.fBinary = TRUE;
  dcb.fParity = parity != NOPARITY;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  return SetCommState(port, &dcb) != 0;
}

// Sends text round the loopback plug and reads it back.
bool RoundTrip(HANDLE port, const char* text) {
  SetTimeouts(port, 0, 0, 3000);
  DWORD length = (DWORD)std::strlen(text);
  if (!Write(port, text, length)) return false;
  std::vector<char> back(length);
  DWORD error, got = 0;
  while (got < length) {
    DWORD n = Read(port, back.data() + got, length - got, &error);
    if (error != 0 || n == 0) return false;
    got += n;
  }
  return std::memcmp(back.data(), text, length) == 0;
}

void TestSettings(HANDLE port) {
  bool ok = Configure(port, 115200, 8, NOPARITY, ONESTOPBIT);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ok = ok && GetCommState(port, &dcb);
  Check(ok && dcb.BaudRate == 115200 && dcb.ByteSize == 8 && dcb.Parity == NOPARITY &&
            dcb.StopBits == ONESTOPBIT,
        "SetCommState/GetCommState 115200 8N1", "baud %lu size %u parity %u stop %u", dcb.BaudRate,
        dcb.ByteSize, dcb.Parity, dcb.StopBits);
  ok = Configure(port, 9600, 7, EVENPARITY, TWOSTOPBITS) && GetCommState(port, &dcb);
  Check(ok && dcb.BaudRate == 9600 && dcb.ByteSize == 7 && dcb.Parity == EVENPARITY &&
            dcb.StopBits == TWOSTOPBITS,
        "SetCommState/GetCommState 9600 7E2", "baud %lu size %u parity %u stop %u", dcb.BaudRate,
        dcb.ByteSize, dcb.Parity, dcb.StopBits);
  Configure(port, 115200, 8, NOPARITY, ONESTOPBIT);

  COMMTIMEOUTS set{10, 20, 30, 40, 50}, got{};
  ok = SetCommTimeouts(port, &set) && GetCommTimeouts(port, &got);
  Check(ok && std::memcmp(&set, &got, sizeof set) == 0, "SetCommTimeouts/GetCommTimeouts",
        "%lu %lu %lu %lu %lu", got.ReadIntervalTimeout, got.ReadTotalTimeoutMultiplier,
        got.ReadTotalTimeoutConstant, got.WriteTotalTimeoutMultiplier, got.WriteTotalTimeoutConstant);
  DWORD mask = 0;
  ok = SetCommMask(port, EV_RXCHAR | EV_CTS | EV_DSR) && GetCommMask(port, &mask);
  Check(ok && mask == (EV_RXCHAR | EV_CTS | EV_DSR), "SetCommMask/GetCommMask", "mask %#lx", mask);
  SetCommMask(port, 0);

  // The read times out with nothing to read: no bytes, after about its total time-out.
  SetTimeouts(port, 0, 0, 300);
  char buffer[16];
  DWORD error;
  DWORD start = GetTickCount();
  DWORD n = Read(port, buffer, sizeof buffer, &error);
  DWORD took = GetTickCount() - start;
  Check(error == 0 && n == 0 && took >= 250 && took < 5000, "read total time-out",
        "%lu bytes, error %lu, %lu ms", n, error, took);
}

// Arms WaitCommEvent for `mask`, runs `cause`, and reports the events seen.
DWORD WaitFor(HANDLE port, DWORD mask, void (*cause)(HANDLE), DWORD* error) {
  SetCommMask(port, mask);
  Overlapped o;
  DWORD events = 0, bytes;
  BOOL started = WaitCommEvent(port, &events, &o.Ov);
  if (!started && GetLastError() != ERROR_IO_PENDING) {
    *error = GetLastError();
    return 0;
  }
  cause(port);
  if (!Finish(port, o, TRUE, &bytes, error, 10000)) {
    if (*error == WAIT_TIMEOUT) {
      CancelIoEx(port, &o.Ov);
      WaitForSingleObject(o.Ov.hEvent, 5000);
    }
    return 0;
  }
  return events;
}

void TestEvents(HANDLE port) {
  struct Case {
    const char* Name;
    DWORD Mask;
    void (*Before)(HANDLE);
    void (*Cause)(HANDLE);
  } cases[] = {
      {"WaitCommEvent EV_RXCHAR", EV_RXCHAR, [](HANDLE p) { PurgeComm(p, PURGE_RXCLEAR); },
       [](HANDLE p) { Write(p, "x", 1); }},
      {"WaitCommEvent EV_TXEMPTY", EV_TXEMPTY, [](HANDLE) {}, [](HANDLE p) { Write(p, "0123456789", 10); }},
      {"WaitCommEvent EV_CTS (RTS looped to CTS)", EV_CTS, [](HANDLE p) { EscapeCommFunction(p, CLRRTS); },
       [](HANDLE p) { EscapeCommFunction(p, SETRTS); }},
      {"WaitCommEvent EV_DSR (DTR looped to DSR)", EV_DSR, [](HANDLE p) { EscapeCommFunction(p, CLRDTR); },
       [](HANDLE p) { EscapeCommFunction(p, SETDTR); }},
      {"WaitCommEvent EV_RLSD (DTR looped to DCD)", EV_RLSD, [](HANDLE p) { EscapeCommFunction(p, SETDTR); },
       [](HANDLE p) { EscapeCommFunction(p, CLRDTR); }},
  };
  for (const Case& c : cases) {
    c.Before(port);
    Sleep(200);  // lets the inputs' change reach the driver before the wait is armed
    DWORD error = 0;
    DWORD events = WaitFor(port, c.Mask, c.Cause, &error);
    Check(error == 0 && (events & c.Mask) != 0, c.Name, "events %#lx, error %lu", events, error);
  }
  EscapeCommFunction(port, SETDTR);
  EscapeCommFunction(port, SETRTS);
  Sleep(200);
  DWORD modem = 0;
  bool on = GetCommModemStatus(port, &modem) && (modem & (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON)) ==
                                                     (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
  EscapeCommFunction(port, CLRRTS);
  EscapeCommFunction(port, CLRDTR);
  Sleep(200);
  DWORD off = 0;
  bool cleared = GetCommModemStatus(port, &off) && (off & (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON)) == 0;
  Check(on && cleared, "GetCommModemStatus follows RTS and DTR", "on %#lx, off %#lx", modem, off);
  EscapeCommFunction(port, SETDTR);
  EscapeCommFunction(port, SETRTS);
  SetCommMask(port, 0);
  PurgeComm(port, PURGE_RXCLEAR);
}

void TestPurgeAndCancel(HANDLE port) {
  PurgeComm(port, PURGE_RXCLEAR);
  Write(port, "abc", 3);
  COMSTAT stat{};
  DWORD errors = 0;
  for (int i = 0; i < 100 && stat.cbInQue < 3; ++i) {
    Sleep(20);
    ClearCommError(port, &errors, &stat);
  }
  bool arrived = stat.cbInQue == 3;
  bool purged = PurgeComm(port, PURGE_RXCLEAR) && ClearCommError(port, &errors, &stat) && stat.cbInQue == 0;
  Check(arrived && purged, "PurgeComm(PURGE_RXCLEAR) empties the receive buffer", "queued %lu",
        stat.cbInQue);

  // Reads that wait for all their bytes, ended by PURGE_RXABORT and by CancelIoEx.
  SetTimeouts(port, 0, 0, 0);
  char buffer[32];
  for (int way = 0; way < 2; ++way) {
    Overlapped o;
    DWORD bytes, error;
    BOOL started = ReadFile(port, buffer, sizeof buffer, nullptr, &o.Ov);
    bool pending = !started && GetLastError() == ERROR_IO_PENDING &&
                   WaitForSingleObject(o.Ov.hEvent, 300) == WAIT_TIMEOUT;
    if (way == 0) PurgeComm(port, PURGE_RXABORT);
    else CancelIoEx(port, &o.Ov);
    bool ended = !Finish(port, o, TRUE, &bytes, &error, 5000) && error == ERROR_OPERATION_ABORTED;
    Check(pending && ended, way == 0 ? "PURGE_RXABORT ends a pending read" : "CancelIoEx ends a pending read",
          "pending %d, error %lu", pending, error);
  }
  // A wait for an event that never comes, ended by CancelIoEx.
  SetCommMask(port, EV_RING);
  Overlapped o;
  DWORD events = 0, bytes, error;
  BOOL started = WaitCommEvent(port, &events, &o.Ov);
  bool pending = !started && GetLastError() == ERROR_IO_PENDING &&
                 WaitForSingleObject(o.Ov.hEvent, 300) == WAIT_TIMEOUT;
  CancelIoEx(port, &o.Ov);
  bool ended = !Finish(port, o, TRUE, &bytes, &error, 5000) && error == ERROR_OPERATION_ABORTED;
  Check(pending && ended, "CancelIoEx ends a pending WaitCommEvent", "pending %d, error %lu", pending, error);
  SetCommMask(port, 0);
}

struct Bulk {
  HANDLE Port;
  const std::vector<unsigned char>* Data;
  bool Ok;
};

DWORD WINAPI Writer(void* context) {
  Bulk* bulk = static_cast<Bulk*>(context);
  const size_t chunk = 4096;
  bulk->Ok = true;
  for (size_t at = 0; at < bulk->Data->size() && bulk->Ok; at += chunk)
    bulk->Ok = Write(bulk->Port, bulk->Data->data() + at, (DWORD)chunk, 60000);
  return 0;
}

void TestMegabyte(HANDLE port) {
  std::vector<unsigned char> data(1 << 20), back(data.size());
  unsigned state = 12345;
  for (auto& b : data) {
    state = state * 1103515245u + 12345u;
    b = (unsigned char)(state >> 16);
  }
  PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
  SetTimeouts(port, 0, 0, 5000);
  Bulk bulk{port, &data, false};
  DWORD start = GetTickCount();
  HANDLE writer = CreateThread(nullptr, 0, Writer, &bulk, 0, nullptr);
  size_t got = 0;
  DWORD error = 0;
  while (got < back.size()) {
    DWORD n = Read(port, back.data() + got, (DWORD)(back.size() - got < 8192 ? back.size() - got : 8192), &error);
    if (error != 0 || n == 0) break;
    got += n;
  }
  WaitForSingleObject(writer, 60000);
  CloseHandle(writer);
  DWORD took = GetTickCount() - start;
  size_t first = 0;
  while (first < got && back[first] == data[first]) ++first;
  // The errors the driver recorded say where a loss came from (overrun, or a failed transfer
  // reported as a break).
  DWORD errors = 0;
  COMSTAT stat{};
  ClearCommError(port, &errors, &stat);
  Check(bulk.Ok && got == data.size() && first == got, "1 MB written and read back intact",
        "written %s, read %zu bytes, first difference at %zu, error %lu, %lu ms, comm errors %#lx",
        bulk.Ok ? "all" : "not all", got, first, error, took, errors);
}

std::string InterfacePath() {
  const GUID guid = {0x5E1C7A42, 0x9B3D, 0x4F06, {0xA8, 0xE1, 0x2C, 0x47, 0xD9, 0xB0, 0xF3, 0x15}};
  HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return "";
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  std::string path;
  if (SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &data)) {
    char buffer[1024];
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof buffer, nullptr, nullptr))
      path = detail->DevicePath;
  }
  SetupDiDestroyDeviceInfoList(set);
  return path;
}

bool BusRequest(DWORD code, DWORD* state = nullptr) {
  HANDLE bus = CreateFileA("\\\\.\\OrvixBusControl", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           0, nullptr);
  if (bus == INVALID_HANDLE_VALUE) return false;
  DWORD out = 0, returned = 0;
  BOOL ok = DeviceIoControl(bus, code, nullptr, 0, &out, sizeof out, &returned, nullptr);
  CloseHandle(bus);
  if (state) *state = out;
  return ok != 0;
}

void TestUnplug(HANDLE port) {
  SetTimeouts(port, 0, 0, 0);
  SetCommMask(port, EV_RING);
  Overlapped read, wait;
  char buffer[16];
  DWORD events = 0, bytes, readError, waitError;
  BOOL readStarted = ReadFile(port, buffer, sizeof buffer, nullptr, &read.Ov);
  BOOL waitStarted = WaitCommEvent(port, &events, &wait.Ov);
  bool pending = !readStarted && !waitStarted && WaitForSingleObject(read.Ov.hEvent, 300) == WAIT_TIMEOUT;
  bool unplugged = BusRequest(IOCTL_ORVIXBUS_UNPLUG);
  bool readEnded = !Finish(port, read, TRUE, &bytes, &readError, 15000) && readError != WAIT_TIMEOUT;
  bool waitEnded = !Finish(port, wait, TRUE, &bytes, &waitError, 15000) && waitError != WAIT_TIMEOUT;
  Check(pending && unplugged && readEnded && waitEnded, "unplugging ends the pending read and wait",
        "pending %d, unplugged %d, read error %lu, wait error %lu", pending, unplugged, readError, waitError);
  bool writeFails = !Write(port, "x", 1, 10000);
  Check(writeFails, "a write after unplugging fails", "error %lu", GetLastError());
  Check(CloseHandle(port) != 0, "the unplugged port closes");
  DWORD error = 0;
  HANDLE again = INVALID_HANDLE_VALUE;
  for (int i = 0; i < 100; ++i) {  // removal finishes in Wine's Plug and Play thread
    again = Open(g_path, &error);
    if (again == INVALID_HANDLE_VALUE) break;
    CloseHandle(again);
    Sleep(100);
  }
  Check(again == INVALID_HANDLE_VALUE, "the port's name is gone after removal", "error %lu", error);
  // The bus's control device is served by the same Wine thread that carries out the removal:
  // on a loaded machine it may answer only after a while.
  DWORD state = 9, askError = 0;
  bool asked = false;
  for (int i = 0; i < 100 && !asked; ++i) {
    asked = BusRequest(IOCTL_ORVIXBUS_STATE, &state);
    if (!asked) {
      askError = GetLastError();
      Sleep(100);
    }
  }
  Check(asked && state == 0, "the bus reports the adapter gone", "state %lu, asked %d, error %lu", state, asked,
        askError);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: comm_test COMn\n");
    return 2;
  }
  g_path = std::string("\\\\.\\") + argv[1];
  DWORD error = 0;
  HANDLE port = INVALID_HANDLE_VALUE;
  DWORD start = GetTickCount();
  while ((port = Open(g_path, &error)) == INVALID_HANDLE_VALUE && GetTickCount() - start < 90000) Sleep(250);
  Check(port != INVALID_HANDLE_VALUE, "the port opens by its COM name", "%s, error %lu after %lu ms",
        g_path.c_str(), error, GetTickCount() - start);
  if (port == INVALID_HANDLE_VALUE) {
    std::printf("VERDICT: comm test failed: %d passed, %d failed\n", g_passed, g_failed);
    return 1;
  }
  DWORD second = 0;
  HANDLE other = Open(g_path, &second);
  if (other != INVALID_HANDLE_VALUE) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(other, &dcb)) second = GetLastError();
    CloseHandle(other);  // must leave the first handle's port open
  }
  Check(second == ERROR_ACCESS_DENIED, "a second open is refused", "error %lu", second);

  TestSettings(port);
  Check(RoundTrip(port, "Hello through the loopback plug"), "a message round the loopback plug");
  TestEvents(port);
  TestPurgeAndCancel(port);
  TestMegabyte(port);

  Check(CloseHandle(port) != 0, "close");
  port = Open(g_path, &error);
  Check(port != INVALID_HANDLE_VALUE && Configure(port, 115200, 8, NOPARITY, ONESTOPBIT) &&
            RoundTrip(port, "again after reopening"),
        "reopen and round trip", "error %lu", error);
  if (port != INVALID_HANDLE_VALUE) CloseHandle(port);

  std::string path = InterfacePath();
  HANDLE byInterface = path.empty() ? INVALID_HANDLE_VALUE : Open(path, &error);
  Check(byInterface != INVALID_HANDLE_VALUE && Configure(byInterface, 115200, 8, NOPARITY, ONESTOPBIT) &&
            RoundTrip(byInterface, "through the device interface"),
        "open by the device-interface path and round trip", "'%s', error %lu", path.c_str(), error);
  if (byInterface != INVALID_HANDLE_VALUE) CloseHandle(byInterface);

  port = Open(g_path, &error);
  Check(port != INVALID_HANDLE_VALUE, "open before unplugging", "error %lu", error);
  if (port != INVALID_HANDLE_VALUE) TestUnplug(port);

  std::printf("VERDICT: comm test %s: %d passed, %d failed\n", g_failed ? "failed" : "passed", g_passed, g_failed);
  return g_failed;
}
