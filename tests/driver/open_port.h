// A port with a modelled adapter behind it, opened the way an application opens it, and small
// helpers for overlapped requests.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "app/win32.h"
#include "port_fixture.h"

namespace hk::test {

// An overlapped request in flight, with its own event.
struct Pending {
  win32::OVERLAPPED Ov{};
  std::vector<UCHAR> Buffer;
  Pending();
  ~Pending();
  // Polled as HasOverlappedIoCompleted does, while the completion may be publishing them.
  bool Done() const { return Status() != STATUS_PENDING; }
  NTSTATUS Status() const { return (NTSTATUS)__atomic_load_n(&Ov.Internal, __ATOMIC_ACQUIRE); }
  ULONG Bytes() const { return (ULONG)__atomic_load_n(&Ov.InternalHigh, __ATOMIC_RELAXED); }
  // The characters a read delivered.
  std::string Text() const { return std::string(Buffer.begin(), Buffer.begin() + Bytes()); }
};

class OpenPortTest : public PortTest {
 protected:
  void SetUp() override;
  virtual adapter::AdapterOptions AdapterSetup();

  // Opens \\.\COM5 (overlapped unless said otherwise); returns the handle or fails the test.
  HANDLE Open(bool overlapped = true);
  void Close();

  // Starts an overlapped read/write/ioctl; returns it whether or not it is still pending.
  std::unique_ptr<Pending> StartRead(ULONG length);
  std::unique_ptr<Pending> StartWrite(const std::vector<UCHAR>& data);
  std::unique_ptr<Pending> StartIoctl(ULONG code, const void* in, ULONG inLength, ULONG outLength);
  // A device-control request waited for; returns its NTSTATUS and fills `out`.
  NTSTATUS Ioctl(ULONG code, const void* in, ULONG inLength, void* out = nullptr, ULONG outLength = 0,
                 ULONG* returned = nullptr);
  void SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant, ULONG writeMultiplier = 0,
                   ULONG writeConstant = 0);
  SERIAL_STATUS CommStatus();
  NTSTATUS Purge(ULONG mask) { return Ioctl(IOCTL_SERIAL_PURGE, &mask, sizeof mask); }

  adapter::Adapter& Device() { return *adapter_; }
  PDEVICE_EXTENSION Ext() { return Extension(node_); }
  pnp::DeviceNode* Node() { return node_; }
  HANDLE Handle() { return handle_; }

 private:
  std::shared_ptr<adapter::Adapter> adapter_;
  pnp::DeviceNode* node_ = nullptr;
  HANDLE handle_ = nullptr;
};

std::vector<UCHAR> Bytes(const std::string& text);

}  // namespace hk::test
