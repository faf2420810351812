#include "bench_port.h"

#include <cstring>

#include "kernel/verifier.h"
#include "registry/registry.h"
#include "rtl/strings.h"
#include "sim/orvix.h"

namespace orvix_bench {

using namespace win32;

Op::Op() { Ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
Op::~Op() { CloseHandle(Ov.hEvent); }

BenchPort::BenchPort(hk::clock::Mode clock, hk::adapter::AdapterOptions options)
    : virtual_(clock == hk::clock::Mode::Virtual) {
  hk::verifier::Take();
  hk::MachineOptions machineOptions;
  machineOptions.Clock = clock;
  machineOptions.Driver = DriverEntry;
  machine_ = std::make_unique<hk::Machine>(machineOptions);
  adapter_ = std::make_shared<hk::adapter::Adapter>(std::move(options));
  node_ = machine_->PlugIn(adapter_);
  auto ports = hk::registry::Values(hk::registry::kDeviceMap + u"\\SERIALCOMM");
  if (ports.empty()) return;
  std::u16string port((const char16_t*)ports.front().Data.data(), ports.front().Data.size() / 2);
  while (!port.empty() && port.back() == 0) port.pop_back();
  std::string name = "\\\\.\\" + hk::rtl::ToAscii(port);
  handle_ = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                        nullptr);
  Settle();
}

BenchPort::~BenchPort() { Finish(); }

void BenchPort::Settle() {
  if (machine_) machine_->Settle();
}

std::unique_ptr<Op> BenchPort::Read(ULONG length) {
  auto op = std::make_unique<Op>();
  op->Buffer.assign(length, 0);
  ReadFile(handle_, op->Buffer.data(), length, nullptr, &op->Ov);
  if (virtual_) Settle();
  return op;
}

void BenchPort::Read(Op& op, ULONG length) {
  if (op.Buffer.size() < length) op.Buffer.resize(length);
  HANDLE event = op.Ov.hEvent;
  op.Ov = win32::OVERLAPPED{};
  op.Ov.hEvent = event;
  ReadFile(handle_, op.Buffer.data(), length, nullptr, &op.Ov);
  if (virtual_) Settle();
}

std::unique_ptr<Op> BenchPort::Write(const std::vector<UCHAR>& data) {
  auto op = std::make_unique<Op>();
  op->Buffer = data;
  WriteFile(handle_, op->Buffer.data(), (DWORD)op->Buffer.size(), nullptr, &op->Ov);
  if (virtual_) Settle();
  return op;
}

NTSTATUS BenchPort::Ioctl(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength) {
  Op op;
  op.Buffer.assign(inLength > outLength ? inLength : outLength, 0);
  if (in) std::memcpy(op.Buffer.data(), in, inLength);
  DeviceIoControl(handle_, code, in ? op.Buffer.data() : nullptr, inLength, outLength ? op.Buffer.data() : nullptr,
                  outLength, nullptr, &op.Ov);
  if (virtual_) Settle();
  else Wait(op);
  if (out && op.Done()) std::memcpy(out, op.Buffer.data(), outLength);
  return op.Status();
}

void BenchPort::SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant, ULONG writeMultiplier,
                            ULONG writeConstant) {
  SERIAL_TIMEOUTS t{interval, multiplier, constant, writeMultiplier, writeConstant};
  Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t);
}

void BenchPort::SetBaud(ULONG baud) {
  SERIAL_BAUD_RATE b{baud};
  Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, &b, sizeof b);
}

void BenchPort::Wait(Op& op) {
  DWORD n = 0;
  GetOverlappedResult(handle_, &op.Ov, &n, TRUE);
}

std::string BenchPort::Finish() {
  if (!machine_) return "";
  if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
  Settle();
  machine_->Shutdown();
  machine_.reset();
  adapter_.reset();
  auto findings = hk::verifier::Take();
  return findings.empty() ? "" : hk::verifier::Describe(findings);
}

std::vector<UCHAR> Pattern(size_t length, uint32_t seed) {
  std::vector<UCHAR> out(length);
  uint32_t x = seed * 2654435761u + 12345u;
  for (size_t i = 0; i < length; ++i) {
    x = x * 1103515245u + 12345u;
    out[i] = (UCHAR)(x >> 16);
  }
  return out;
}

}  // namespace orvix_bench
