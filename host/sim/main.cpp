// orvix-sim: runs the Orvix driver on the host kernel with a simulated adapter whose serial
// connector carries a loopback plug, and uses the port as a Windows application would: the
// names the port gets, open, settings, a message out and back, the modem lines and events,
// close and unplug. Prints a transcript; exits 0 only when every step worked and the
// verifier found nothing. --line-pty puts a pseudo-terminal on the connector instead of the
// plug, and --terminal makes the application an interactive one (see Usage below).
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "../adapter/adapter.h"
#include "../app/comm.h"
#include "../io/io_manager.h"
#include "../kernel/verifier.h"
#include "../registry/registry.h"
#include "../usb/capture.h"
#include "../rtl/strings.h"
#include "line_pty.h"
#include "machine.h"
#include "orvix.h"

using namespace hk;
using namespace win32;

namespace {

const GUID kPortInterface = {0x5E1C7A42, 0x9B3D, 0x4F06, {0xA8, 0xE1, 0x2C, 0x47, 0xD9, 0xB0, 0xF3, 0x15}};
const char kMessage[] = "Hello through the Orvix driver and back through the loopback plug";

bool g_ok = true;
// The transcript; in terminal mode it goes to stderr, and stdout carries only received data.
FILE* g_out = stdout;

std::string Text(const std::u16string& s) { return rtl::ToAscii(s); }

// Prints one line of the transcript; a failed step is marked and fails the run.
void Step(bool ok, const char* label, const std::string& detail) {
  std::fprintf(g_out, "  %-20s%s%s\n", label, detail.c_str(), ok ? "" : "   <-- FAILED");
  g_ok = g_ok && ok;
}

std::string Hex(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

std::string Failure() { return "failed, error " + std::to_string(GetLastError()) + ", status " + Hex(GetLastNtStatus()); }

std::string Names(DWORD bits, const std::pair<DWORD, const char*>* names, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i)
    if (bits & names[i].first) out += (out.empty() ? "" : " | ") + std::string(names[i].second);
  return out.empty() ? "none" : out;
}

std::string Events(DWORD events) {
  static const std::pair<DWORD, const char*> kEvents[] = {
      {EV_RXCHAR, "EV_RXCHAR"}, {EV_RXFLAG, "EV_RXFLAG"}, {EV_TXEMPTY, "EV_TXEMPTY"}, {EV_CTS, "EV_CTS"},
      {EV_DSR, "EV_DSR"},       {EV_RLSD, "EV_RLSD"},     {EV_BREAK, "EV_BREAK"},     {EV_ERR, "EV_ERR"},
      {EV_RING, "EV_RING"},     {EV_RX80FULL, "EV_RX80FULL"}};
  return Names(events, kEvents, sizeof kEvents / sizeof kEvents[0]);
}

std::string Lines(DWORD modem) {
  std::string out;
  out += std::string("CTS ") + (modem & MS_CTS_ON ? "on" : "off");
  out += std::string(", DSR ") + (modem & MS_DSR_ON ? "on" : "off");
  out += std::string(", RING ") + (modem & MS_RING_ON ? "on" : "off");
  out += std::string(", RLSD ") + (modem & MS_RLSD_ON ? "on" : "off");
  return out;
}

// The names Windows would show for the port; returns the COM name.
std::string ShowNames() {
  std::string com;
  auto values = registry::Values(registry::kDeviceMap + u"\\SERIALCOMM");
  if (values.size() != 1) Step(false, "SERIALCOMM", std::to_string(values.size()) + " values instead of one");
  for (const auto& value : values) {
    std::u16string port((const char16_t*)value.Data.data(), value.Data.size() / 2);
    while (!port.empty() && port.back() == 0) port.pop_back();
    com = Text(port);
    std::string target = Text(io::LinkTarget(u"\\DosDevices\\" + port));
    Step(!value.Name.empty(), "device object", Text(value.Name));
    Step(target == Text(value.Name), "COM link", "\\DosDevices\\" + com + " -> " + target);
    Step(com == "COM5", "SERIALCOMM value", Text(value.Name) + " = " + com);
  }
  auto interfaces = io::EnabledInterfaces(kPortInterface);
  Step(interfaces.size() == 1, "device interface", interfaces.empty() ? "none" : Text(interfaces[0]));
  return com;
}

// Whether an overlapped request was taken: done at once, or pending. Asked right after the
// call, before another call replaces the last error.
bool Taken(BOOL done) { return done || GetLastError() == ERROR_IO_PENDING; }

// Waits for a request that was taken; false when it failed.
bool Await(HANDLE port, OVERLAPPED& ov, bool taken, DWORD* bytes) {
  return taken && GetOverlappedResult(port, &ov, bytes, TRUE);
}

void UsePort(Machine& machine, adapter::Adapter& adapter, const std::string& com) {
  std::string path = "\\\\.\\" + com;
  HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  Step(port != INVALID_HANDLE_VALUE, "open", port != INVALID_HANDLE_VALUE ? path : path + " " + Failure());
  if (port == INVALID_HANDLE_VALUE) return;

  DCB dcb{};
  bool got = GetCommState(port, &dcb);
  dcb.BaudRate = CBR_115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  bool set = got && SetCommState(port, &dcb);
  Step(set, "SetCommState", set ? "115200 baud, 8 data bits, no parity, 1 stop bit, DTR and RTS on" : Failure());
  auto uart = adapter.CurrentUart();
  Step(uart.Baud == 115200 && uart.DataBits == 8 && uart.Parity == 'N' && uart.StopBits == 1, "adapter UART",
       std::to_string(uart.Baud) + " " + std::to_string(uart.DataBits) + uart.Parity + std::to_string(uart.StopBits));
  machine.Settle();

  DWORD modem = 0;
  bool lines = GetCommModemStatus(port, &modem);
  Step(lines && modem == (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON), "modem lines",
       lines ? Lines(modem) + "  (the plug loops RTS to CTS, DTR to DSR and RLSD)" : Failure());

  COMMTIMEOUTS timeouts{50, 0, 2000, 0, 2000};
  Step(SetCommTimeouts(port, &timeouts), "SetCommTimeouts", "reads end 50 ms after the last character");
  DWORD mask = EV_RXCHAR | EV_TXEMPTY;
  Step(SetCommMask(port, mask), "SetCommMask", Events(mask));

  OVERLAPPED waitOv{};
  waitOv.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD events = 0;
  bool waiting = Taken(WaitCommEvent(port, &events, &waitOv));

  OVERLAPPED writeOv{};
  writeOv.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD written = 0;
  const DWORD length = sizeof kMessage - 1;
  bool wrote = Await(port, writeOv, Taken(WriteFile(port, kMessage, length, nullptr, &writeOv)), &written);
  Step(wrote && written == length, "WriteFile", "\"" + std::string(kMessage) + "\" (" + std::to_string(written) + " bytes)");

  // The message leaving the port and its first character coming back are two events, in
  // either order: wait until both have been reported.
  DWORD seen = 0;
  for (int wait = 0; wait < 4 && seen != mask; ++wait) {
    DWORD bytes = 0;
    if (wait > 0) waiting = Taken(WaitCommEvent(port, &events, &waitOv));
    bool waited = Await(port, waitOv, waiting, &bytes);
    Step(waited, "WaitCommEvent", waited ? Events(events) : Failure());
    if (!waited) break;
    seen |= events;
  }
  Step(seen == mask, "events seen", Events(seen));

  char back[sizeof kMessage] = {};
  OVERLAPPED readOv{};
  readOv.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD read = 0;
  bool gotBack = Await(port, readOv, Taken(ReadFile(port, back, length, nullptr, &readOv)), &read);
  std::string echo(back, gotBack ? read : 0);
  Step(gotBack && echo == kMessage, "ReadFile", "\"" + echo + "\" (" + std::to_string(echo.size()) + " bytes)");

  DWORD errors = 0;
  COMSTAT status{};
  bool clear = ClearCommError(port, &errors, &status);
  Step(clear && errors == 0 && status.cbInQue == 0 && status.cbOutQue == 0, "ClearCommError",
       "errors " + std::to_string(errors) + ", " + std::to_string(status.cbInQue) + " in, " +
           std::to_string(status.cbOutQue) + " out");

  CloseHandle(readOv.hEvent);
  CloseHandle(writeOv.hEvent);
  CloseHandle(waitOv.hEvent);
  Step(CloseHandle(port), "close", path);
  machine.Settle();
}

const char kUsage[] =
    "usage: orvix-sim [--capture FILE] [--line-pty LINK] [--terminal] [--baud RATE] [--help]\n"
    "\n"
    "Runs the Orvix driver on the host kernel with a simulated USB-to-RS-232 adapter and uses\n"
    "the COM port it makes as a Windows application does. Exits 0 only when every step worked\n"
    "and the kernel's verifier found nothing.\n"
    "\n"
    "  --capture FILE   write every URB of the session to FILE (USBPcap format, for Wireshark)\n"
    "  --line-pty LINK  put a Linux pseudo-terminal on the adapter's RS-232 connector instead of\n"
    "                   the loopback plug, with a symlink at LINK: a serial program (picocom,\n"
    "                   minicom, pyserial) opened on LINK is the device at the far end of the\n"
    "                   cable; characters go both ways at the port's character rate. Without\n"
    "                   --terminal the usual scripted session runs, which expects its message\n"
    "                   to be sent back by the far end\n"
    "  --terminal       be an interactive application on the port: what is read from stdin is\n"
    "                   written to the port, what the port receives is written to stdout, and\n"
    "                   the transcript goes to stderr; end of input (Ctrl-D) closes the port\n"
    "  --baud RATE      the baud rate --terminal sets (default 115200), 8 data bits, no parity\n"
    "  --help           show this text\n";

bool WaitFor(HANDLE port, OVERLAPPED& ov, BOOL done, DWORD* bytes) {
  if (!done && GetLastError() != ERROR_IO_PENDING) return false;
  return GetOverlappedResult(port, &ov, bytes, TRUE) != 0;
}

// The interactive application: stdin to the port, the port to stdout, until end of input.
void RunTerminal(Machine& machine, const std::string& com, DWORD baud) {
  std::string path = "\\\\.\\" + com;
  HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  Step(port != INVALID_HANDLE_VALUE, "open", port != INVALID_HANDLE_VALUE ? path : path + " " + Failure());
  if (port == INVALID_HANDLE_VALUE) return;
  DCB dcb{};
  bool got = GetCommState(port, &dcb);
  dcb.BaudRate = baud;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  bool set = got && SetCommState(port, &dcb);
  Step(set, "SetCommState", set ? std::to_string(baud) + " baud, 8N1, DTR and RTS on" : Failure());
  // A read returns what has come once the line has been quiet for 20 ms, or after 100 ms.
  COMMTIMEOUTS timeouts{20, 0, 100, 0, 0};
  Step(SetCommTimeouts(port, &timeouts), "SetCommTimeouts", "reads end 20 ms after the last character");
  std::fprintf(g_out, "Type; each line goes out through the driver, and what comes back is printed. Ctrl-D ends.\n");
  std::fflush(g_out);

  std::atomic<bool> stop{false};
  std::atomic<bool> readFailed{false};
  std::thread reader([&] {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char buffer[4096];
    while (!stop) {
      DWORD bytes = 0;
      if (!WaitFor(port, ov, ReadFile(port, buffer, sizeof buffer, nullptr, &ov), &bytes)) {
        readFailed = true;
        break;
      }
      for (DWORD done = 0; done < bytes;) {
        ssize_t n = write(1, buffer + done, bytes - done);
        if (n <= 0) break;
        done += (DWORD)n;
      }
    }
    CloseHandle(ov.hEvent);
  });

  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  char buffer[4096];
  unsigned long long sent = 0;
  bool wrote = true;
  for (;;) {
    ssize_t n = read(0, buffer, sizeof buffer);
    if (n <= 0) break;
    DWORD written = 0;
    if (!WaitFor(port, ov, WriteFile(port, buffer, (DWORD)n, nullptr, &ov), &written) || written != (DWORD)n) {
      wrote = false;
      break;
    }
    sent += written;
  }
  CloseHandle(ov.hEvent);
  Step(wrote, "WriteFile", wrote ? std::to_string(sent) + " bytes sent" : Failure());
  Step(FlushFileBuffers(port), "FlushFileBuffers", "everything written has left the transmit buffer");
  stop = true;
  reader.join();
  Step(!readFailed, "ReadFile", readFailed ? Failure() : "no failed read");
  Step(CloseHandle(port), "close", path);
  machine.Settle();
}

}  // namespace

int main(int argc, char** argv) {
  std::string capture;
  std::string linePty;
  bool terminal = false;
  DWORD baud = CBR_115200;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--capture" && i + 1 < argc) {
      capture = argv[++i];
    } else if (arg == "--line-pty" && i + 1 < argc) {
      linePty = argv[++i];
    } else if (arg == "--terminal") {
      terminal = true;
    } else if (arg == "--baud" && i + 1 < argc && std::atol(argv[i + 1]) > 0) {
      baud = (DWORD)std::atol(argv[++i]);
    } else if (arg == "--help" || arg == "-h") {
      std::printf("%s", kUsage);
      return 0;
    } else {
      std::fprintf(stderr, "%s", kUsage);
      return 2;
    }
  }
  if (terminal) g_out = stderr;
  MachineOptions options;
  options.Clock = clock::Mode::Real;
  options.Driver = DriverEntry;
  Machine machine(options);
  if (!capture.empty()) {
    if (!usb::StartCapture(capture)) {
      std::fprintf(g_out, "cannot write the capture to %s\n", capture.c_str());
      return 2;
    }
    std::fprintf(g_out, "Capturing the USB traffic to %s\n", capture.c_str());
  }

  std::fprintf(g_out, "Plugging in a USB-to-RS-232 adapter (USB\\Vid_7A3C&Pid_0003) with %s...\n",
               linePty.empty() ? "a loopback plug" : ("a pseudo-terminal at " + linePty).c_str());
  adapter::AdapterOptions adapterOptions;
  adapterOptions.Partner = linePty.empty() ? adapter::LinePartner::Loopback : adapter::LinePartner::None;
  auto adapter = std::make_shared<adapter::Adapter>(adapterOptions);
  sim::LinePty pty;
  if (!linePty.empty()) {
    std::string error;
    if (!pty.Start(adapter, linePty, &error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 2;
    }
  }
  pnp::DeviceNode* node = machine.PlugIn(adapter);
  if (!node) {
    std::fprintf(g_out, "The bus could not create the device.\n");
    return 1;
  }
  Step(node->State == pnp::DeviceState::Started, "start", "status " + Hex((unsigned)node->LastStatus));
  std::string com = ShowNames();

  if (!linePty.empty()) std::fprintf(g_out, "The far end of the cable: %s -> %s\n", linePty.c_str(), pty.Device().c_str());
  if (!com.empty() && terminal) {
    RunTerminal(machine, com, baud);
  } else if (!com.empty()) {
    std::fprintf(g_out, "Using the port as an application does...\n");
    UsePort(machine, *adapter, com);
  }

  std::fprintf(g_out, "Unplugging the adapter...\n");
  machine.Unplug(node);
  pty.Stop();
  machine.Shutdown();
  usb::StopCapture();
  bool clean = registry::Values(registry::kDeviceMap + u"\\SERIALCOMM").empty() &&
               io::EnabledInterfaces(kPortInterface).empty() && !io::LinkExists(u"\\DosDevices\\" + rtl::FromAscii(com));
  Step(clean, "after removal", clean ? "no COM link, no SERIALCOMM value, interface disabled" : "names left behind");

  auto findings = verifier::Take();
  std::fprintf(g_out, "Verifier: %s\n", findings.empty() ? "no findings" : verifier::Describe(findings).c_str());
  bool ok = g_ok && findings.empty();
  std::fprintf(g_out, "%s\n", ok ? "The port works." : "The port does NOT work.");
  return ok ? 0 : 1;
}
