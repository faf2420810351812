// orvix-sim: runs the Orvix driver on the host kernel with a simulated adapter whose serial
// connector carries a loopback plug, and uses the port as a Windows application would: the
// names the port gets, open, settings, a message out and back, the modem lines and events,
// close and unplug. Prints a transcript; exits 0 only when every step worked and the
// verifier found nothing.
#include <cstdio>
#include <string>

#include "../adapter/adapter.h"
#include "../app/comm.h"
#include "../io/io_manager.h"
#include "../kernel/verifier.h"
#include "../registry/registry.h"
#include "../usb/capture.h"
#include "../rtl/strings.h"
#include "machine.h"
#include "orvix.h"

using namespace hk;
using namespace win32;

namespace {

const GUID kPortInterface = {0x5E1C7A42, 0x9B3D, 0x4F06, {0xA8, 0xE1, 0x2C, 0x47, 0xD9, 0xB0, 0xF3, 0x15}};
const char kMessage[] = "Hello through the Orvix driver and back through the loopback plug";

bool g_ok = true;

std::string Text(const std::u16string& s) { return rtl::ToAscii(s); }

// Prints one line of the transcript; a failed step is marked and fails the run.
void Step(bool ok, const char* label, const std::string& detail) {
  std::printf("  %-20s%s%s\n", label, detail.c_str(), ok ? "" : "   <-- FAILED");
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

}  // namespace

int main(int argc, char** argv) {
  // orvix-sim [--capture FILE]: FILE receives every URB of the session, for Wireshark.
  std::string capture;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--capture" && i + 1 < argc) {
      capture = argv[++i];
    } else {
      std::printf("usage: orvix-sim [--capture FILE]\n");
      return 2;
    }
  }
  MachineOptions options;
  options.Clock = clock::Mode::Real;
  options.Driver = DriverEntry;
  Machine machine(options);
  if (!capture.empty()) {
    if (!usb::StartCapture(capture)) {
      std::printf("cannot write the capture to %s\n", capture.c_str());
      return 2;
    }
    std::printf("Capturing the USB traffic to %s\n", capture.c_str());
  }

  std::printf("Plugging in a USB-to-RS-232 adapter (USB\\Vid_7A3C&Pid_0003) with a loopback plug...\n");
  adapter::AdapterOptions adapterOptions;
  adapterOptions.Partner = adapter::LinePartner::Loopback;  // a UART at the configured rate
  auto adapter = std::make_shared<adapter::Adapter>(adapterOptions);
  pnp::DeviceNode* node = machine.PlugIn(adapter);
  if (!node) {
    std::printf("The bus could not create the device.\n");
    return 1;
  }
  Step(node->State == pnp::DeviceState::Started, "start", "status " + Hex((unsigned)node->LastStatus));
  std::string com = ShowNames();

  if (!com.empty()) {
    std::printf("Using the port as an application does...\n");
    UsePort(machine, *adapter, com);
  }

  std::printf("Unplugging the adapter...\n");
  machine.Unplug(node);
  machine.Shutdown();
  usb::StopCapture();
  bool clean = registry::Values(registry::kDeviceMap + u"\\SERIALCOMM").empty() &&
               io::EnabledInterfaces(kPortInterface).empty() && !io::LinkExists(u"\\DosDevices\\" + rtl::FromAscii(com));
  Step(clean, "after removal", clean ? "no COM link, no SERIALCOMM value, interface disabled" : "names left behind");

  auto findings = verifier::Take();
  std::printf("Verifier: %s\n", findings.empty() ? "no findings" : verifier::Describe(findings).c_str());
  bool ok = g_ok && findings.empty();
  std::printf("%s\n", ok ? "The port works." : "The port does NOT work.");
  return ok ? 0 : 1;
}
