// Helpers for the data-flow tests: a record of the bulk-out stream and the credit exchanges as
// the bus sees them, test patterns, and requests sent to the port's device object directly.
#pragma once
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "open_port.h"
#include "usb/bus.h"
#include "usb/host_controller.h"

namespace hk::test {

// Watches the bus of one port: bulk-out submissions ("out N"), credit queries ("ask"), their
// replies ("reply 00 20") and failed transfers ("out failed", "ask failed").
class BusTrace {
 public:
  explicit BusTrace(pnp::DeviceNode* node);
  std::vector<std::string> Events() const;
  std::string Text() const;  // the events joined by ", "
  void Clear();
  size_t Count(const std::string& event) const;

 private:
  struct State {
    std::mutex Lock;
    std::vector<std::string> Events;
  };
  std::shared_ptr<State> state_;
};

// A request still in flight when its test lets go of it (an assertion returned early) is kept
// until the machine has shut down, so that its completion never writes into freed memory.
struct PendingDeleter {
  std::vector<Pending*>* Graveyard = nullptr;
  void operator()(Pending* p) const;
};
using PendingPtr = std::unique_ptr<Pending, PendingDeleter>;

// Pseudo-random characters: a shifted, dropped or repeated character shows as a mismatch.
std::vector<UCHAR> Pattern(size_t length, uint32_t seed = 1);

// The characters of the data units in `transfers`, in order (modem-control units skipped).
std::vector<UCHAR> DataCharacters(const std::vector<std::vector<UCHAR>>& transfers);
// Every unit of `transfers` as "A0 41"-style text, for byte-exact comparisons.
std::string UnitsText(const std::vector<std::vector<UCHAR>>& transfers);
std::string Hex(const std::vector<UCHAR>& bytes);

// An internal device-control request, as a driver stacked on the port sends it (PASSIVE_LEVEL).
NTSTATUS InternalIoctl(PDEVICE_OBJECT device, ULONG code, void* in, ULONG inLength, void* out, ULONG outLength,
                       ULONG_PTR* information = nullptr);
// A write request sent to the device object itself, bypassing any handle.
NTSTATUS RawWrite(PDEVICE_OBJECT device, const std::vector<UCHAR>& data, ULONG_PTR* information = nullptr);

// An open port with the calls the data-flow tests share.
class DataFlowTest : public OpenPortTest {
 protected:
  void TearDown() override;
  PendingPtr StartRead(ULONG length) { return Keep(OpenPortTest::StartRead(length)); }
  PendingPtr StartWrite(const std::vector<UCHAR>& data) { return Keep(OpenPortTest::StartWrite(data)); }
  PendingPtr StartIoctl(ULONG code, const void* in, ULONG inLength, ULONG outLength) {
    return Keep(OpenPortTest::StartIoctl(code, in, inLength, outLength));
  }
  PDEVICE_OBJECT Fdo() { return PortTest::Fdo(Node()); }
  usb::HostController& Bus() { return *usb::ControllerOf(Node()); }
  void SetHandflow(ULONG control, ULONG replace, LONG xonLimit = 2048, LONG xoffLimit = 512);
  void SetWaitMask(ULONG mask);
  NTSTATUS SetLine(ULONG code) { return Ioctl(code, nullptr, 0); }
  // Everything the adapter reported as the host's fault.
  std::string AdapterFaults();
  // Virtual time in milliseconds since the machine started.
  LONGLONG NowMs();
  // Moves virtual time to the next clock tick, so that due times count from a tick.
  void AlignToTick();
  // Characters arriving on the adapter's RX line; with an unthrottled adapter they are in the
  // receive buffer when this returns.
  void Receive(const std::vector<UCHAR>& chars);

 private:
  PendingPtr Keep(std::unique_ptr<Pending> p) { return PendingPtr(p.release(), PendingDeleter{&graveyard_}); }
  std::vector<Pending*> graveyard_;
};

}  // namespace hk::test
