// What the bus carried for one device, URB by URB, and a way to hold the thread that submits or
// completes a chosen URB, so that a test can line up a race with the driver step by step.
#pragma once
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "usb/host_controller.h"

namespace hk::test {

class UrbLog {
 public:
  using Match = std::function<bool(const usb::UrbEvent&)>;
  using Probe = std::function<void(const usb::UrbEvent&)>;

  // Attaches to a device plugged in already.
  static std::shared_ptr<UrbLog> Attach(usb::HostController* controller);
  // Attaches to the next device plugged in, from its very first URB (its start included).
  static std::shared_ptr<UrbLog> ForNextDevice();

  ~UrbLog();

  std::vector<usb::UrbEvent> Events();
  void Clear();

  // The next event that matches blocks the thread that carries it (the submitter for a
  // submission, the host controller's thread for a completion) until Release.
  void HoldNext(Match match);
  // Waits until a thread is held; false when none arrives within a generous bound.
  bool WaitHeld();
  void Release();
  // Runs `probe` in the carrying thread at the next event that matches.
  void ProbeNext(Match match, Probe probe);

  // Called by the controller's observer for every URB, in the carrying thread.
  void Record(const usb::UrbEvent& event);

 private:

  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<usb::UrbEvent> events_;
  Match holdMatch_;
  bool held_ = false;
  bool released_ = false;
  Match probeMatch_;
  Probe probe_;
};

// Matchers for the URBs the driver sends.
bool IsBulk(const usb::UrbEvent& e, UCHAR endpoint);
bool IsVendorRequest(const usb::UrbEvent& e, UCHAR request);
bool IsConfigurationRead(const usb::UrbEvent& e);
bool IsSelectConfiguration(const usb::UrbEvent& e);
// wLength of a control request, from its setup packet.
USHORT SetupLength(const usb::UrbEvent& e);

}  // namespace hk::test
