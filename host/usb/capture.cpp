#include "capture.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <vector>

#include "../kernel/clock.h"
#include "bus.h"
#include "host_controller.h"

namespace hk::usb {
namespace {

// The pcap file: microsecond timestamps, records cut at the snapshot length.
constexpr uint32_t kPcapMagic = 0xa1b2c3d4;
constexpr uint32_t kSnapLength = 65535;
constexpr uint32_t kLinkTypeUsbPcap = 249;

// The USBPcap packet header is 27 bytes, packed and little-endian; control transfers add one
// byte, the stage.
constexpr uint32_t kHeaderLength = 27;
constexpr UCHAR kInfoPdoToFdo = 0x01;     // a completion, on its way back up to the driver
constexpr UCHAR kTransferIrpInfo = 0xFE;  // a URB that moves no data: the header alone
constexpr int kNoStage = -1;
constexpr int kStageSetup = 0;
constexpr int kStageData = 1;
constexpr int kStageComplete = 3;

constexpr LONGLONG kUnixEpoch = 116444736000000000LL;  // 1970-01-01 as a system time
constexpr LONGLONG kUnitsPerSecond = 10000000;

void Put(std::vector<UCHAR>& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back((UCHAR)(value >> (8 * i)));
}

struct Packet {
  UCHAR Endpoint;
  UCHAR Transfer;
  int Stage;
  const UCHAR* Data;
  size_t Length;
};

void Append(std::vector<UCHAR>& out, const UrbEvent& e, USHORT bus, const Packet& p) {
  // The machine's own system time, which starts at its epoch: a session on the virtual clock
  // shows the times the simulation saw, not when it happened to run.
  LONGLONG unixTime = clock::kEpoch + e.Time - kUnixEpoch;
  uint32_t headerLength = kHeaderLength + (p.Stage == kNoStage ? 0 : 1);
  uint64_t whole = headerLength + p.Length;
  uint64_t kept = std::min<uint64_t>(whole, kSnapLength);
  Put(out, unixTime / kUnitsPerSecond, 4);
  Put(out, unixTime % kUnitsPerSecond / 10, 4);
  Put(out, kept, 4);
  Put(out, whole, 4);
  Put(out, headerLength, 2);
  Put(out, e.IrpId, 8);
  Put(out, (uint32_t)e.Status, 4);
  Put(out, e.Function, 2);
  Put(out, e.Completion ? kInfoPdoToFdo : 0, 1);
  Put(out, bus, 2);
  Put(out, e.DeviceAddress, 2);
  Put(out, p.Endpoint, 1);
  Put(out, p.Transfer, 1);
  Put(out, p.Length, 4);  // the real length, also when the record is cut
  if (p.Stage != kNoStage) Put(out, (UCHAR)p.Stage, 1);
  if (kept > headerLength) out.insert(out.end(), p.Data, p.Data + (kept - headerLength));
}

std::vector<UCHAR> Encode(const UrbEvent& e, USHORT bus) {
  std::vector<UCHAR> out;
  const UCHAR* data = e.Data.data();
  size_t length = e.Data.size();
  const auto control = (UCHAR)TransferType::Control;
  if (e.HasSetup) {
    // As USBPcap writes control transfers: at submission the setup packet, then any OUT data
    // as a record of its own; at completion one record with any IN data. The default pipe
    // carries the direction of the request, so requests and responses show which way data went.
    UCHAR endpoint = (e.Setup[0] & 0x80) ? 0x80 : 0x00;
    if (!e.Completion) {
      Append(out, e, bus, {endpoint, control, kStageSetup, e.Setup, sizeof e.Setup});
      if (length) Append(out, e, bus, {endpoint, control, kStageData, data, length});
    } else {
      Append(out, e, bus, {endpoint, control, kStageComplete, data, length});
    }
  } else if (e.Type == TransferType::Bulk || e.Type == TransferType::Interrupt) {
    Append(out, e, bus, {e.Endpoint, (UCHAR)e.Type, kNoStage, data, length});
  } else {
    // Pipe requests and URBs the bus refused: Wireshark still pairs them and names the function.
    Append(out, e, bus, {e.Endpoint, kTransferIrpInfo, kNoStage, nullptr, 0});
  }
  return out;
}

std::mutex g_lock;
FILE* g_file = nullptr;              // under g_lock
std::map<uint64_t, USHORT> g_buses;  // under g_lock
std::atomic<bool> g_capturing{false};
std::atomic<uint64_t> g_nextController{1};
std::once_flag g_hooked;

// Every device has a host controller of its own, and every one gives its device address 1: each
// controller is a bus of its own in the capture, numbered as the capture first sees it, so
// Wireshark keeps the devices apart.
USHORT BusOf(uint64_t controller) {
  return g_buses.emplace(controller, (USHORT)(g_buses.size() + 1)).first->second;
}

void Observe(uint64_t controller, const UrbEvent& event) {
  if (!g_capturing.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> guard(g_lock);
  if (!g_file) return;
  std::vector<UCHAR> bytes = Encode(event, BusOf(controller));
  std::fwrite(bytes.data(), 1, bytes.size(), g_file);
}

}  // namespace

bool StartCapture(const std::string& path) {
  // Controllers cannot drop an observer, so each gets one for the life of the process, which
  // records only while a capture runs.
  std::call_once(g_hooked, [] {
    OnControllerCreated([](HostController& controller) {
      uint64_t id = g_nextController++;
      controller.AddObserver([id](const UrbEvent& event) { Observe(id, event); });
    });
  });
  std::lock_guard<std::mutex> guard(g_lock);
  if (g_file) return false;
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  std::vector<UCHAR> header;
  Put(header, kPcapMagic, 4);
  Put(header, 2, 2);  // version 2.4
  Put(header, 4, 2);
  Put(header, 0, 4);  // time zone: UTC
  Put(header, 0, 4);  // timestamp accuracy
  Put(header, kSnapLength, 4);
  Put(header, kLinkTypeUsbPcap, 4);
  if (std::fwrite(header.data(), 1, header.size(), file) != header.size()) {
    std::fclose(file);
    return false;
  }
  g_file = file;
  g_buses.clear();
  g_capturing.store(true, std::memory_order_release);
  return true;
}

void StopCapture() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_capturing.store(false, std::memory_order_release);
  if (!g_file) return;
  std::fclose(g_file);
  g_file = nullptr;
}

bool Capturing() { return g_capturing.load(std::memory_order_acquire); }

}  // namespace hk::usb
