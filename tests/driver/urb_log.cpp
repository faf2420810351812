#include "urb_log.h"

#include <chrono>

#include "usb/bus.h"

namespace hk::test {
namespace {

// The bus keeps its creation hooks for the life of the process: one hook, installed once,
// hands the next controller to whichever log asked for it.
std::mutex g_nextLock;
std::weak_ptr<UrbLog> g_next;

void Observe(usb::HostController& controller, const std::shared_ptr<UrbLog>& log);

void InstallHookOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    usb::OnControllerCreated([](usb::HostController& controller) {
      std::shared_ptr<UrbLog> log;
      {
        std::lock_guard<std::mutex> guard(g_nextLock);
        log = g_next.lock();
        g_next.reset();
      }
      if (log) Observe(controller, log);
    });
  });
}

void Observe(usb::HostController& controller, const std::shared_ptr<UrbLog>& log) {
  std::weak_ptr<UrbLog> weak = log;
  controller.AddObserver([weak](const usb::UrbEvent& event) {
    if (auto l = weak.lock()) l->Record(event);
  });
}
}  // namespace

std::shared_ptr<UrbLog> UrbLog::Attach(usb::HostController* controller) {
  auto log = std::make_shared<UrbLog>();
  if (controller) Observe(*controller, log);
  return log;
}

std::shared_ptr<UrbLog> UrbLog::ForNextDevice() {
  InstallHookOnce();
  auto log = std::make_shared<UrbLog>();
  std::lock_guard<std::mutex> guard(g_nextLock);
  g_next = log;
  return log;
}

UrbLog::~UrbLog() { Release(); }

std::vector<usb::UrbEvent> UrbLog::Events() {
  std::lock_guard<std::mutex> guard(lock_);
  return events_;
}

void UrbLog::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  events_.clear();
}

void UrbLog::HoldNext(Match match) {
  std::lock_guard<std::mutex> guard(lock_);
  holdMatch_ = std::move(match);
  held_ = false;
  released_ = false;
}

bool UrbLog::WaitHeld() {
  std::unique_lock<std::mutex> guard(lock_);
  return changed_.wait_for(guard, std::chrono::seconds(20), [this] { return held_; });
}

void UrbLog::Release() {
  std::lock_guard<std::mutex> guard(lock_);
  released_ = true;
  holdMatch_ = nullptr;
  changed_.notify_all();
}

void UrbLog::ProbeNext(Match match, Probe probe) {
  std::lock_guard<std::mutex> guard(lock_);
  probeMatch_ = std::move(match);
  probe_ = std::move(probe);
}

void UrbLog::Record(const usb::UrbEvent& event) {
  Probe probe;
  {
    std::unique_lock<std::mutex> guard(lock_);
    events_.push_back(event);
    if (probeMatch_ && probeMatch_(event)) {
      probe = std::move(probe_);
      probeMatch_ = nullptr;
      probe_ = nullptr;
    }
  }
  if (probe) probe(event);
  std::unique_lock<std::mutex> guard(lock_);
  if (holdMatch_ && !released_ && holdMatch_(event)) {
    holdMatch_ = nullptr;
    held_ = true;
    changed_.notify_all();
    changed_.wait(guard, [this] { return released_; });
  }
}

bool IsBulk(const usb::UrbEvent& e, UCHAR endpoint) {
  return e.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && e.Endpoint == endpoint;
}

bool IsVendorRequest(const usb::UrbEvent& e, UCHAR request) {
  return e.Function == URB_FUNCTION_VENDOR_INTERFACE && e.HasSetup && e.Setup[1] == request;
}

bool IsConfigurationRead(const usb::UrbEvent& e) {
  return e.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE && e.Setup[3] == USB_CONFIGURATION_DESCRIPTOR_TYPE;
}

bool IsSelectConfiguration(const usb::UrbEvent& e) { return e.Function == URB_FUNCTION_SELECT_CONFIGURATION; }

USHORT SetupLength(const usb::UrbEvent& e) { return (USHORT)(e.Setup[6] | (e.Setup[7] << 8)); }

}  // namespace hk::test
