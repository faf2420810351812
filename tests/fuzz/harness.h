// What every fuzz target shares: a decoder for the fuzz input, and one run of the machine per
// input. A run is a fresh machine with the Orvix driver under controlled scheduling, its seed
// taken from the input, so one input replays one interleaving in virtual time. At its end the
// run closes what is open and shuts the machine down, and any of these is a finding: a verifier
// report (pool, handles or threads left behind, a request never freed among them), an adapter
// protocol fault, a request the driver never completed, a deadlock or a run past its virtual
// time limit. Buses are paced to one completion a frame. A finding prints what happened and
// aborts, so that libFuzzer keeps the input.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "app/comm.h"
#include "app/win32.h"
#include "pnp/pnp_manager.h"
#include "sim/machine.h"

namespace hk::fuzz {

// Reads the fuzz input front to back; past its end every read gives zeros.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return at_ >= size_; }
  size_t Left() const { return at_ < size_ ? size_ - at_ : 0; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t Word() { return (uint16_t)(Byte() | Byte() << 8); }
  uint32_t Dword() { return (uint32_t)Word() | (uint32_t)Word() << 16; }
  // 0 .. n-1.
  unsigned Pick(unsigned n) { return n ? Byte() % n : 0; }
  // Up to `n` bytes; fewer when the input ends.
  std::vector<UCHAR> Bytes(size_t n);

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// An overlapped request issued by the run, with its own event and buffer. Kept until the run
// ends: a request the driver still holds then is a finding, and its memory stays valid.
struct Request {
  win32::OVERLAPPED Ov{};
  std::vector<UCHAR> Buffer;
  ULONG Length = 0;  // what the caller asked for: the read length, the output length
  HANDLE File = nullptr;
  std::string What;
  bool Done() const { return (NTSTATUS)__atomic_load_n(&Ov.Internal, __ATOMIC_ACQUIRE) != STATUS_PENDING; }
  NTSTATUS Status() const { return (NTSTATUS)__atomic_load_n(&Ov.Internal, __ATOMIC_ACQUIRE); }
  ULONG Bytes() const { return (ULONG)__atomic_load_n(&Ov.InternalHigh, __ATOMIC_RELAXED); }
};

class Run {
 public:
  Machine& Host() { return *machine_; }
  adapter::Adapter* Device() { return device_.get(); }
  pnp::DeviceNode* Node() { return node_; }

  // Plugs in an adapter; returns false when it did not start.
  bool Plug(adapter::AdapterOptions options);
  // Plugs in any USB function (a device with its own descriptors).
  pnp::DeviceNode* PlugFunction(std::shared_ptr<usb::Function> function);
  // Surprise removal: the adapter is pulled out.
  void Unplug();

  // Opens the port as an application does, overlapped; INVALID_HANDLE_VALUE when refused.
  HANDLE Open();
  // Closes the handle; every request issued on it must then complete within a minute of
  // virtual time.
  void Close(HANDLE h);

  Request* Read(HANDLE h, ULONG length);
  Request* Write(HANDLE h, std::vector<UCHAR> data);
  Request* Ioctl(HANDLE h, ULONG code, const std::vector<UCHAR>& in, ULONG outLength);
  Request* WaitEvent(HANDLE h);
  // Cancels one request of those issued (picked by `which`), if any is still pending.
  void Cancel(unsigned which);
  // Lets `ms` of virtual time pass while the machine runs.
  void Pause(ULONG ms);
  // Waits at most `ms` of virtual time for the request.
  bool Await(Request* request, ULONG ms);

  // A finding of the target's own oracle.
  void Fail(const std::string& what);
  // Protocol faults of this kind are the device's doing in this run, not the driver's.
  void Tolerate(adapter::ViolationKind kind) { tolerated_.push_back(kind); }

  const std::vector<std::unique_ptr<Request>>& Requests() const { return requests_; }
  const std::vector<HANDLE>& OpenHandles() const { return open_; }

 private:
  friend void RunOnce(const char*, uint64_t, const std::function<void(Run&)>&);
  Request* Track(HANDLE h, std::string what);
  void CheckRequest(const Request& request);

  std::unique_ptr<Machine> machine_;
  std::shared_ptr<adapter::Adapter> device_;
  pnp::DeviceNode* node_ = nullptr;
  std::vector<std::unique_ptr<Request>> requests_;
  std::vector<std::unique_ptr<std::vector<UCHAR>>> keep_;  // input buffers of requests
  std::vector<HANDLE> open_;
  std::vector<std::string> failures_;
  std::vector<adapter::ViolationKind> tolerated_;
};

// One run: a machine under controlled scheduling with seed `seed`, `body` driving it, then the
// oracles. Returns only when there was no finding.
void RunOnce(const char* target, uint64_t seed, const std::function<void(Run&)>& body);

// The options of the adapter most targets plug in: nothing on the line, instant characters.
adapter::AdapterOptions QuietAdapter();

}  // namespace hk::fuzz
