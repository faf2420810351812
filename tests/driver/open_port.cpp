#include "open_port.h"

#include <mutex>

#include "kernel/activity.h"
#include "kernel/clock.h"

namespace hk::test {

using namespace win32;

namespace {
std::mutex g_parkedLock;
std::vector<std::unique_ptr<Pending::Slot>> g_parked;  // requests the driver never gave back
}  // namespace

Pending::Pending() { Ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }

Pending::~Pending() {
  if (!Done() && File) {
    CancelIoEx(File, &Ov);
    for (int round = 0; round < 100 && !Done(); ++round) {
      if (clock::CurrentMode() == clock::Mode::Virtual) clock::Advance(0);
      else activity::WaitIdle();
    }
  }
  if (Done()) {
    CloseHandle(Ov.hEvent);
    return;
  }
  ADD_FAILURE() << "a request was still held by the driver when the test let go of it";
  std::lock_guard<std::mutex> guard(g_parkedLock);
  g_parked.push_back(std::move(Storage));
}

std::vector<UCHAR> Bytes(const std::string& text) { return std::vector<UCHAR>(text.begin(), text.end()); }

adapter::AdapterOptions OpenPortTest::AdapterSetup() {
  adapter::AdapterOptions options;
  options.Serial = u"A0001";
  options.Unthrottled = true;
  return options;
}

void OpenPortTest::SetUp() {
  PortTest::SetUp();
  adapter_ = std::make_shared<adapter::Adapter>(AdapterSetup());
  node_ = machine().PlugIn(adapter_);
  ASSERT_EQ(node_->State, pnp::DeviceState::Started) << std::hex << node_->LastStatus;
}

HANDLE OpenPortTest::Open(bool overlapped) {
  handle_ = CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
  EXPECT_NE(handle_, INVALID_HANDLE_VALUE) << "open failed: " << std::hex << GetLastNtStatus();
  machine().Settle();
  return handle_;
}

void OpenPortTest::Close() {
  if (handle_ && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  handle_ = nullptr;
  machine().Settle();
}

std::unique_ptr<Pending> OpenPortTest::StartRead(ULONG length) {
  auto p = std::make_unique<Pending>();
  p->Buffer.assign(length, 0);
  p->File = handle_;
  ReadFile(handle_, p->Buffer.data(), length, nullptr, &p->Ov);
  machine().Settle();
  return p;
}

std::unique_ptr<Pending> OpenPortTest::StartWrite(const std::vector<UCHAR>& data) {
  auto p = std::make_unique<Pending>();
  p->Buffer = data;
  p->File = handle_;
  WriteFile(handle_, p->Buffer.data(), (DWORD)p->Buffer.size(), nullptr, &p->Ov);
  machine().Settle();
  return p;
}

std::unique_ptr<Pending> OpenPortTest::StartIoctl(ULONG code, const void* in, ULONG inLength, ULONG outLength) {
  auto p = std::make_unique<Pending>();
  p->Buffer.assign(outLength > inLength ? outLength : inLength, 0);
  if (in) std::memcpy(p->Buffer.data(), in, inLength);
  p->File = handle_;
  DeviceIoControl(handle_, code, in ? p->Buffer.data() : nullptr, inLength, outLength ? p->Buffer.data() : nullptr,
                  outLength, nullptr, &p->Ov);
  machine().Settle();
  return p;
}

NTSTATUS OpenPortTest::Ioctl(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                             ULONG* returned) {
  auto p = StartIoctl(code, in, inLength, outLength);
  EXPECT_TRUE(p->Done()) << "device-control request 0x" << std::hex << code << " is still pending";
  if (out && p->Done()) std::memcpy(out, p->Buffer.data(), outLength);
  if (returned) *returned = p->Bytes();
  return p->Status();
}

void OpenPortTest::SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant, ULONG writeMultiplier,
                               ULONG writeConstant) {
  SERIAL_TIMEOUTS t{interval, multiplier, constant, writeMultiplier, writeConstant};
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t), STATUS_SUCCESS);
}

SERIAL_STATUS OpenPortTest::CommStatus() {
  SERIAL_STATUS status{};
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status), STATUS_SUCCESS);
  return status;
}

}  // namespace hk::test
