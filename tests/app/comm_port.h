// A port opened by an application through a loopback plug, with the device-control requests
// that reach the driver recorded on their way down.
#pragma once
#include <memory>
#include <vector>

#include "app/comm.h"
#include "ioctl_recorder.h"
#include "open_port.h"

namespace hk::test {

class CommPortTest : public OpenPortTest {
 protected:
  void SetUp() override {
    OpenPortTest::SetUp();
    if (HasFatalFailure()) return;
    recorder_ = std::make_unique<IoctlRecorder>(Fdo(Node()));
    Open(Overlapped());
    recorder_->Take();
  }
  adapter::AdapterOptions AdapterSetup() override {
    auto o = OpenPortTest::AdapterSetup();
    o.Partner = adapter::LinePartner::Loopback;
    return o;
  }
  virtual bool Overlapped() { return true; }

  // The device-control codes that reached the driver since the last call.
  std::vector<ULONG> Codes() { return recorder_->TakeCodes(); }
  std::vector<RecordedIoctl> Requests() { return recorder_->Take(); }
  std::vector<LONGLONG> Offsets() { return recorder_->TakeOffsets(); }

  win32::DCB State() {
    win32::DCB dcb{};
    EXPECT_TRUE(win32::GetCommState(Handle(), &dcb)) << win32::GetLastError();
    return dcb;
  }

 private:
  std::unique_ptr<IoctlRecorder> recorder_;
};

}  // namespace hk::test
