// A machine with one adapter and its port opened the way an application opens it, for the
// benchmarks. Requests are overlapped; in virtual time the benchmark's loop moves the clock.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "app/win32.h"
#include "sim/machine.h"

namespace orvix_bench {

// An overlapped request and its buffer.
struct Op {
  win32::OVERLAPPED Ov{};
  std::vector<UCHAR> Buffer;
  Op();
  ~Op();
  Op(const Op&) = delete;
  Op& operator=(const Op&) = delete;
  bool Done() const { return (NTSTATUS)Ov.Internal != STATUS_PENDING; }
  NTSTATUS Status() const { return (NTSTATUS)Ov.Internal; }
  ULONG Bytes() const { return (ULONG)Ov.InternalHigh; }
};

class BenchPort {
 public:
  BenchPort(hk::clock::Mode clock, hk::adapter::AdapterOptions options);
  ~BenchPort();
  BenchPort(const BenchPort&) = delete;
  BenchPort& operator=(const BenchPort&) = delete;

  bool Opened() const { return handle_ != win32::INVALID_HANDLE_VALUE; }
  hk::Machine& Machine() { return *machine_; }
  hk::adapter::Adapter& Device() { return *adapter_; }
  hk::pnp::DeviceNode* Node() { return node_; }
  HANDLE Handle() { return handle_; }

  // Starts a request; in virtual time the machine is settled before it returns.
  std::unique_ptr<Op> Read(ULONG length);
  // Starts a read into `op`, reusing its buffer: a loop of reads clears nothing.
  void Read(Op& op, ULONG length);
  std::unique_ptr<Op> Write(const std::vector<UCHAR>& data);
  // A device-control request that completes at once.
  NTSTATUS Ioctl(ULONG code, const void* in, ULONG inLength, void* out = nullptr, ULONG outLength = 0);
  void SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant, ULONG writeMultiplier, ULONG writeConstant);
  void SetBaud(ULONG baud);
  // Waits for a request in real time (real clock only).
  void Wait(Op& op);
  void Settle();
  // Closes the port, shuts the machine down and returns the verifier's findings as text.
  std::string Finish();

 private:
  std::unique_ptr<hk::Machine> machine_;
  std::shared_ptr<hk::adapter::Adapter> adapter_;
  hk::pnp::DeviceNode* node_ = nullptr;
  HANDLE handle_ = win32::INVALID_HANDLE_VALUE;
  bool virtual_;
};

// Pseudo-random characters, so that a lost, repeated or reordered character shows.
std::vector<UCHAR> Pattern(size_t length, uint32_t seed);

}  // namespace orvix_bench
