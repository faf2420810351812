#include "harness.h"

#include <cstdio>
#include <cstdlib>

#include "kernel/scheduler.h"
#include "kernel/verifier.h"
#include "sim/orvix.h"
#include "usb/bus.h"
#include "usb/host_controller.h"

namespace hk::fuzz {

using namespace ::win32;

namespace {

constexpr ULONG kCloseLimitMs = 60000;  // virtual time a closed handle's requests may take to end
const char* g_target = "";

[[noreturn]] void Finding(const std::string& what) {
  std::fprintf(stderr, "\n==== FINDING in fuzz target %s ====\n%s\n", g_target, what.c_str());
  std::fflush(stderr);
  std::abort();
}

std::string Hex(ULONG v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", (unsigned)v);
  return text;
}

}  // namespace

std::vector<UCHAR> Input::Bytes(size_t n) {
  size_t take = n < Left() ? n : Left();
  std::vector<UCHAR> out(data_ + at_, data_ + at_ + take);
  at_ += take;
  return out;
}

adapter::AdapterOptions QuietAdapter() {
  adapter::AdapterOptions options;
  options.Serial = u"A0001";
  options.Unthrottled = true;
  return options;
}

bool Run::Plug(adapter::AdapterOptions options) {
  device_ = std::make_shared<adapter::Adapter>(options);
  node_ = machine_->PlugIn(device_);
  return node_ && node_->State == pnp::DeviceState::Started;
}

pnp::DeviceNode* Run::PlugFunction(std::shared_ptr<usb::Function> function) {
  node_ = machine_->PlugIn(std::move(function));
  return node_;
}

void Run::Unplug() {
  if (!node_) return;
  machine_->Unplug(node_);
  node_ = nullptr;
}

HANDLE Run::Open() {
  HANDLE h = CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  if (h != INVALID_HANDLE_VALUE) open_.push_back(h);
  return h;
}

void Run::Close(HANDLE h) {
  bool known = false;
  for (size_t i = 0; i < open_.size(); ++i)
    if (open_[i] == h) {
      open_.erase(open_.begin() + (long)i);
      known = true;
      break;
    }
  if (!known) return;
  CloseHandle(h);
  for (auto& r : requests_) {
    if (r->File != h) continue;
    if (!Await(r.get(), kCloseLimitMs)) Fail(r->What + " was never completed, though its handle was closed");
  }
}

Request* Run::Track(HANDLE h, std::string what) {
  auto r = std::make_unique<Request>();
  r->Ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  r->File = h;
  r->What = std::move(what);
  requests_.push_back(std::move(r));
  return requests_.back().get();
}

Request* Run::Read(HANDLE h, ULONG length) {
  Request* r = Track(h, "a read of " + std::to_string(length));
  r->Buffer.assign(length, 0);
  r->Length = length;
  ReadFile(h, r->Buffer.data(), length, nullptr, &r->Ov);
  return r;
}

Request* Run::Write(HANDLE h, std::vector<UCHAR> data) {
  Request* r = Track(h, "a write of " + std::to_string(data.size()));
  r->Buffer = std::move(data);
  r->Length = (ULONG)r->Buffer.size();
  WriteFile(h, r->Buffer.data(), r->Length, nullptr, &r->Ov);
  return r;
}

Request* Run::Ioctl(HANDLE h, ULONG code, const std::vector<UCHAR>& in, ULONG outLength) {
  Request* r = Track(h, "device-control request " + Hex(code) + " (in " + std::to_string(in.size()) + ", out " +
                            std::to_string(outLength) + ")");
  // Input and output are separate allocations of their exact sizes, so that a driver reading or
  // writing past either is caught by the address sanitizer.
  r->Buffer.assign(outLength, 0xCC);
  r->Length = outLength;
  // METHOD_NEITHER hands the driver the caller's input pointer for as long as the request
  // lives; it is kept until the run ends.
  keep_.push_back(std::make_unique<std::vector<UCHAR>>(in));
  std::vector<UCHAR>& input = *keep_.back();
  DeviceIoControl(h, code, input.empty() ? nullptr : input.data(), (DWORD)input.size(),
                  outLength ? r->Buffer.data() : nullptr, outLength, nullptr, &r->Ov);
  return r;
}

Request* Run::WaitEvent(HANDLE h) {
  Request* r = Track(h, "WaitCommEvent");
  r->Buffer.assign(sizeof(DWORD), 0);
  r->Length = sizeof(DWORD);
  WaitCommEvent(h, reinterpret_cast<DWORD*>(r->Buffer.data()), &r->Ov);
  return r;
}

void Run::Cancel(unsigned which) {
  if (requests_.empty()) return;
  Request* r = requests_[which % requests_.size()].get();
  if (!r->Done()) CancelIoEx(r->File, &r->Ov);
}

void Run::Pause(ULONG ms) {
  HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  WaitForSingleObject(never, ms);
  CloseHandle(never);
}

bool Run::Await(Request* request, ULONG ms) {
  if (request->Done()) return true;
  WaitForSingleObject(request->Ov.hEvent, ms);
  return request->Done();
}

void Run::Fail(const std::string& what) { failures_.push_back(what); }

void Run::CheckRequest(const Request& r) {
  if (!r.Done()) {
    Fail(r.What + " was still pending when the machine shut down");
    return;
  }
  if (r.Bytes() > r.Length)
    Fail(r.What + " reported " + std::to_string(r.Bytes()) + " bytes for a buffer of " + std::to_string(r.Length));
}

void RunOnce(const char* target, uint64_t seed, const std::function<void(Run&)>& body) {
  g_target = target;
  // Every bus completes at most one transfer a 1 ms frame, as a full-speed bus does: a device
  // that answers every transfer at once (descriptors can put the credit endpoint where the
  // data should come from) then costs virtual time, instead of keeping the machine busy
  // without end at one instant.
  static bool paced = false;
  if (!paced) {
    usb::OnControllerCreated([](usb::HostController& bus) { bus.SetFramePacing(true); });
    paced = true;
  }
  sched::RunOptions options;
  options.Seed = seed;
  options.TimeLimit = 900LL * 10000000;
  options.Steps = 20000;
  options.OnFailure = [](const std::string& report) { Finding("the machine got stuck:\n" + report); };
  verifier::SetEcho(false);
  Run run;
  sched::Begin(options);
  {
    MachineOptions machineOptions;
    machineOptions.Driver = DriverEntry;
    run.machine_ = std::make_unique<Machine>(machineOptions);
    body(run);
    while (!run.open_.empty()) run.Close(run.open_.back());
    for (auto& r : run.requests_) run.CheckRequest(*r);
    for (auto& r : run.requests_) CloseHandle(r->Ov.hEvent);
    run.machine_->Shutdown();
    run.device_.reset();
    run.machine_.reset();
  }
  sched::RunResult result = sched::End();
  // FUZZ_TRACE=1 prints each run's interleaving, which one input must reproduce exactly.
  if (std::getenv("FUZZ_TRACE"))
    std::fprintf(stderr, "trace %016llx steps %llu\n", (unsigned long long)result.TraceHash,
                 (unsigned long long)result.Steps);
  std::string findings;
  for (const auto& f : run.failures_) findings += "  " + f + "\n";
  auto reports = verifier::Take();
  if (!reports.empty()) findings += "  verifier findings:\n" + verifier::Describe(reports);
  for (const auto& v : adapter::TakeFaults()) {
    bool tolerated = !v.Fault();
    for (auto kind : run.tolerated_) tolerated = tolerated || kind == v.Kind;
    if (!tolerated) findings += std::string("  adapter protocol fault ") + adapter::ToString(v.Kind) + ": " + v.Detail + "\n";
  }
  if (!findings.empty()) Finding(findings);
}

}  // namespace hk::fuzz
