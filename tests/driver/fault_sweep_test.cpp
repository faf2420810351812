// Every acquisition the driver makes in each phase of a port's life, failed in turn: the N-th
// pool allocation, IRP, thread, device, interface or object reference fails, for every N until
// the phase gets through without reaching the N-th. Each time the injected failure must have
// been hit, the caller must get a clear status, nothing may be left behind once the adapter is
// unplugged, and the port must work again (or be cleanly refused) once nothing fails.
#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <set>

#include "app/comm.h"
#include "app/win32.h"
#include "io/io_manager.h"
#include "io/names.h"
#include "kernel/faults.h"
#include "kernel/handles.h"
#include "kernel/pool.h"
#include "kernel/threads.h"
#include "port_fixture.h"

#ifndef ORVIX_SOURCE_DIR
#error "ORVIX_SOURCE_DIR must name the source tree"
#endif

namespace hk::test {
namespace {

using namespace win32;

constexpr unsigned kMostAcquisitionsPerPhase = 400;

class FaultSweep : public PortTest {
 protected:
  pnp::DeviceNode* PlugLoopback() {
    adapter::AdapterOptions options;
    options.Serial = u"A0001";
    options.Unthrottled = true;
    options.Partner = adapter::LinePartner::Loopback;
    return machine().PlugIn(std::make_shared<adapter::Adapter>(options));
  }

  // The port's device interface as an application finds it; one port at a time here.
  static std::string InterfacePath() {
    auto interfaces = io::EnabledInterfaces(kPortInterface);
    if (interfaces.size() != 1) return {};
    std::string name = Ascii(interfaces[0]);
    if (name.rfind("\\??\\", 0) == 0) name = "\\\\?\\" + name.substr(4);
    return name;
  }
  static HANDLE OpenPath(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                       nullptr);
  }

  static HANDLE OpenPort() {
    return CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
  }

  // An overlapped read or write given 200 ms of virtual time, then cancelled; the bytes moved,
  // or -1 when it failed (and said why).
  long Transfer(HANDLE h, bool write, char* buffer, DWORD length) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL started = write ? WriteFile(h, buffer, length, nullptr, &ov) : ReadFile(h, buffer, length, nullptr, &ov);
    if (!started && GetLastError() != ERROR_IO_PENDING) {
      EXPECT_NE(GetLastError(), 0u) << "a failed request must say why";
      CloseHandle(ov.hEvent);
      return -1;
    }
    machine().AdvanceMs(200);
    if ((NTSTATUS)ov.Internal == STATUS_PENDING) CancelIo(h);
    machine().Settle();
    DWORD done = 0;
    BOOL ok = GetOverlappedResult(h, &ov, &done, TRUE);
    CloseHandle(ov.hEvent);
    return ok ? (long)done : -1;
  }

  // Sets every timeout so that a read or write never waits long in virtual time.
  static bool QuickTimeouts(HANDLE h) {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = 0;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = 100;
    t.WriteTotalTimeoutConstant = 100;
    return SetCommTimeouts(h, &t) != FALSE;
  }

  // The oracle once the adapter is gone: no driver, pool, handle, thread, IRP, name or finding.
  void ExpectNothingLeft(const std::string& where) {
    machine().Settle();
    EXPECT_EQ(pnp::LoadedDriver(u"Orvix"), nullptr) << where;
    auto live = pool::Live();
    EXPECT_TRUE(live.empty()) << where << ": " << pool::Describe(live);
    EXPECT_TRUE(handles::Describe().empty()) << where;
    EXPECT_TRUE(threads::Running().empty()) << where;
    EXPECT_TRUE(io::LiveIrps().empty()) << where;
    EXPECT_TRUE(NoPortNamesLeft()) << where;
    auto findings = verifier::Take();
    EXPECT_TRUE(findings.empty()) << where << ":\n" << verifier::Describe(findings);
  }

  // A working port: opened (by its COM name, or through its interface when `byInterface_`), set,
  // a round trip through the plug, closed.
  ::testing::AssertionResult PortWorks() {
    HANDLE h = byInterface_ ? OpenPath(InterfacePath()) : OpenPort();
    if (h == INVALID_HANDLE_VALUE) return ::testing::AssertionFailure() << "open failed " << GetLastError();
    DCB dcb{};
    bool ok = GetCommState(h, &dcb) && (dcb.BaudRate = 9600, SetCommState(h, &dcb)) && QuickTimeouts(h);
    char out[] = "ping";
    ok = ok && Transfer(h, true, out, 4) == 4;
    char in[8] = {};
    ok = ok && Transfer(h, false, in, 4) == 4 && std::string(in, 4) == "ping";
    CloseHandle(h);
    machine().Settle();
    if (!ok) return ::testing::AssertionFailure() << "the port did not work: " << GetLastError();
    return ::testing::AssertionSuccess();
  }

  // Runs `phase` with the N-th acquisition failing, for N = 1, 2, ... until the phase no longer
  // reaches the N-th. `prepare` runs first without faults and returns the node it plugged (or
  // null when the phase plugs itself); `phase` arms faults::FailNth(n) where its part begins and
  // returns the node still plugged, if any.
  template <typename Prepare, typename Phase>
  void Sweep(const char* name, Prepare prepare, Phase phase) {
    unsigned n = 1;
    for (; n <= kMostAcquisitionsPerPhase; ++n) {
      std::string where = std::string(name) + ", acquisition " + std::to_string(n);
      SCOPED_TRACE(where);
      pnp::DeviceNode* node = prepare();
      reached_ = 0;
      byInterface_ = false;
      node = phase(node, n);
      Disarm();
      bool hit = reached_ >= n;
      machine().Settle();
      if (hit) ++failures_;
      // Once nothing fails any more the device works, or refuses cleanly when the phase that
      // failed was its start.
      if (node && node->State == pnp::DeviceState::Started) {
        EXPECT_TRUE(PortWorks()) << where;
      } else if (node) {
        EXPECT_FALSE(NT_SUCCESS(node->LastStatus)) << where;
      }
      if (node) machine().Unplug(node);
      ExpectNothingLeft(where);
      if (!hit) break;
    }
    EXPECT_LE(n, kMostAcquisitionsPerPhase) << name << " never got through";
    std::printf("phase %s: %u acquisitions failed in turn\n", name, n - 1);
  }

  // Stops failing where a phase's own part ends, keeping how far the count got for the sweep
  // (faults::Clear alone would forget it, and the sweep would stop after the first failure).
  void Disarm() {
    reached_ = std::max(reached_, faults::Counted());
    faults::Clear();
  }

  unsigned failures_ = 0;
  unsigned reached_ = 0;
  bool byInterface_ = false;
};

// The acquiring call sites in driver/ as "driver/FILE:LINE", as the tools/ script lists them.
std::set<std::string> SitesInDriver() {
  std::string command = std::string(ORVIX_SOURCE_DIR) + "/tools/fault_sites.sh " + ORVIX_SOURCE_DIR + " --list";
  std::set<std::string> sites;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return sites;
  char line[512];
  while (std::fgets(line, sizeof line, p)) {
    std::string site(line);
    while (!site.empty() && site.back() == '\n') site.pop_back();
    if (site.find(':') != std::string::npos) sites.insert(site);
  }
  pclose(p);
  return sites;
}

// The driver call sites among the return addresses the failed requests came back to, as
// "file:line" of the source (the innermost inlined frame), found with addr2line.
std::set<std::string> DriverSites(const std::vector<const void*>& addresses) {
  std::set<std::string> sites;
  for (const void* address : addresses) {
    Dl_info info{};
    if (!dladdr(address, &info) || !info.dli_fname) continue;
    char command[512];
    // One byte back: the return address may already belong to the next line.
    std::snprintf(command, sizeof command, "addr2line -e '%s' 0x%lx", info.dli_fname,
                  (unsigned long)((const char*)address - (const char*)info.dli_fbase - 1));
    FILE* p = popen(command, "r");
    if (!p) continue;
    char line[512] = {};
    if (std::fgets(line, sizeof line, p)) {
      std::string where(line);
      while (!where.empty() && (where.back() == '\n' || where.back() == ' ')) where.pop_back();
      size_t at = where.find("/driver/");
      size_t note = where.find(" (discriminator");
      if (note != std::string::npos) where.erase(note);
      if (at != std::string::npos) sites.insert(where.substr(at + 1));
    }
    pclose(p);
  }
  return sites;
}

TEST_F(FaultSweep, EveryAcquisitionInEveryPhaseFailedInTurn) {
  faults::ForgetFailedSites();
  auto nothing = [] { return (pnp::DeviceNode*)nullptr; };
  auto plugged = [&] {
    pnp::DeviceNode* node = PlugLoopback();
    EXPECT_EQ(node->State, pnp::DeviceState::Started);
    return node;
  };
  Sweep("add device and start", nothing, [&](pnp::DeviceNode*, unsigned n) {
    faults::FailNth(n);
    pnp::DeviceNode* node = PlugLoopback();  // null when the bus itself could not enumerate it
    if (node && node->State != pnp::DeviceState::Started) {
      EXPECT_FALSE(NT_SUCCESS(node->LastStatus));
    }
    return node;
  });
  Sweep("open", plugged, [&](pnp::DeviceNode* node, unsigned n) {
    faults::FailNth(n);
    HANDLE h = OpenPort();
    if (h == INVALID_HANDLE_VALUE) {
      EXPECT_NE(GetLastError(), 0u) << "a failed open must say why";
    }
    Disarm();
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return node;
  });
  Sweep("settings", plugged, [&](pnp::DeviceNode* node, unsigned n) {
    HANDLE h = OpenPort();
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    faults::FailNth(n);
    DCB dcb{};
    bool ok = GetCommState(h, &dcb);
    dcb.BaudRate = 19200;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    ok = ok && SetCommState(h, &dcb) && EscapeCommFunction(h, SETDTR) && QuickTimeouts(h);
    if (!ok) {
      EXPECT_NE(GetLastError(), 0u) << "a failed setting must say why";
    }
    CloseHandle(h);
    return node;
  });
  Sweep("I/O", plugged, [&](pnp::DeviceNode* node, unsigned n) {
    HANDLE h = OpenPort();
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(QuickTimeouts(h));
    faults::FailNth(n);
    char out[] = "data";
    Transfer(h, true, out, 4);
    char in[8];
    Transfer(h, false, in, 4);
    DWORD errors = 0;
    COMSTAT status{};
    ClearCommError(h, &errors, &status);
    PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    CloseHandle(h);
    return node;
  });
  Sweep("close", plugged, [&](pnp::DeviceNode* node, unsigned n) {
    HANDLE h = OpenPort();
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    faults::FailNth(n);
    CloseHandle(h);
    machine().Settle();
    return node;
  });
  Sweep("stop and start", plugged, [&](pnp::DeviceNode* node, unsigned n) {
    faults::FailNth(n);
    EXPECT_EQ(pnp::SendPnp(node, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(pnp::SendPnp(node, IRP_MN_STOP_DEVICE), STATUS_SUCCESS) << "a stop cannot fail";
    node->State = pnp::DeviceState::Stopped;
    // Stopped, the port has no threads and no transfers: an open through its interface, which
    // outlives the COM name, must be refused whatever failed in the stop.
    std::string path = InterfacePath();
    HANDLE h = path.empty() ? INVALID_HANDLE_VALUE : OpenPath(path);
    if (h != INVALID_HANDLE_VALUE) {
      ADD_FAILURE() << "a stopped port was opened";
      CloseHandle(h);
      machine().Settle();
    }
    NTSTATUS start = pnp::SendPnp(node, IRP_MN_START_DEVICE);
    node->LastStatus = start;
    node->State = NT_SUCCESS(start) ? pnp::DeviceState::Started : pnp::DeviceState::StartFailed;
    // A start that could not give the COM name back still starts, the port reachable through
    // its interface only.
    byInterface_ = NT_SUCCESS(start) && !LinkTarget("COM5");
    return node;
  });
  Sweep("removal", plugged, [&](pnp::DeviceNode* node, unsigned n) {
    HANDLE h = OpenPort();
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    faults::FailNth(n);
    machine().Unplug(node);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    machine().Settle();
    return (pnp::DeviceNode*)nullptr;
  });
  auto failed = DriverSites(faults::FailedSites());
  auto all = SitesInDriver();
  unsigned k = 0;
  for (const auto& site : all) {
    if (failed.count(site)) ++k;
    else std::printf("  not failed: %s\n", site.c_str());
  }
  for (const auto& site : failed)
    if (!all.count(site)) std::printf("  failed but not counted by tools/fault_sites.sh: %s\n", site.c_str());
  unsigned m = (unsigned)all.size();
  std::printf("fault sites: %u of %u failed by the sweep\n", k, m);
  EXPECT_GT(m, 0u);
  EXPECT_EQ(k, m) << "an acquiring call site in driver/ is not failed by the sweep";
  EXPECT_GT(failures_, 0u);
}

}  // namespace
}  // namespace hk::test
