// The adapter's vendor requests on the default pipe: open and close answer with the modem
// inputs, request 3 sets the UART. Every request is recorded as it arrived.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "../kernel/clock.h"
#include "adapter.h"

namespace hk::adapter {

USBD_STATUS Adapter::Control(const usb::SetupPacket& setup, UCHAR* data, ULONG& length) {
  USBD_STATUS status;
  {
    std::lock_guard<std::mutex> guard(lock_);
    ControlRecord record{setup, {}, USBD_STATUS_SUCCESS, clock::Now()};
    bool in = (setup.RequestType & 0x80) != 0;
    if (!in && data) record.Data.assign(data, data + length);
    if (setup.Request == kRequestSetLine && !in) lineBlocks_.push_back(record.Data);
    auto fault = controlFaults_.find(setup.Request);
    if (fault != controlFaults_.end() && fault->second.second > 0) {
      status = fault->second.first;
      if (--fault->second.second == 0) controlFaults_.erase(fault);
      if (in) length = 0;
    } else {
      status = ControlLocked(setup, data, length, record);
    }
    record.Status = status;
    controlRecords_.push_back(std::move(record));
  }
  Pump();  // an open empties the transmit buffer, which may answer a waiting credit query
  return status;
}

USBD_STATUS Adapter::ControlLocked(const usb::SetupPacket& setup, UCHAR* data, ULONG& length,
                                   ControlRecord& record) {
  auto refuse = [&](const std::string& why) {
    NoteLocked(ViolationKind::BadControlRequest, why);
    length = 0;
    return USBD_STATUS_STALL_PID;
  };
  char request[48];
  std::snprintf(request, sizeof(request), "request %u (bmRequestType %02X)", setup.Request, setup.RequestType);
  if (setup.Value || setup.Index)
    NoteLocked(ViolationKind::BadControlRequest, std::string(request) + " with wValue or wIndex not 0");
  switch (setup.Request) {
    case kRequestOpen:
    case kRequestClose: {
      if (setup.RequestType != kVendorInterfaceIn) return refuse(std::string(request) + ": not a vendor IN request to the interface");
      if (setup.Length != kPortReplyLength) NoteLocked(ViolationKind::BadControlRequest, std::string(request) + " asks for " +
                                                       std::to_string(setup.Length) + " bytes, not 2");
      std::vector<UCHAR> reply = setup.Request == kRequestOpen && openReply_ ? *openReply_ : PortReply(InputsLocked());
      length = std::min<ULONG>((ULONG)reply.size(), setup.Length);
      if (length) std::memcpy(data, reply.data(), length);
      record.Data.assign(reply.begin(), reply.begin() + length);
      if (setup.Request == kRequestOpen) OpenLocked();
      return USBD_STATUS_SUCCESS;
    }
    case kRequestSetLine: {
      if (setup.RequestType != kVendorInterfaceOut) return refuse(std::string(request) + ": not a vendor OUT request to the interface");
      DecodedLineBlock block = DecodeLineBlock(data, length);
      if (!block.Usable) return refuse("line settings refused: " + block.Problem);
      if (!block.Problem.empty()) NoteLocked(ViolationKind::BadControlRequest, "line settings: " + block.Problem);
      uart_ = block.Settings;  // from the next character on; the one on the line keeps its timing
      return USBD_STATUS_SUCCESS;
    }
    default:
      return refuse(std::string(request) + " is not one of the adapter's requests");
  }
}

// A port session starts clean: what was waiting to go out or to be read belongs to the last
// one, and the host starts with 128 units of credit without asking.
void Adapter::OpenLocked() {
  ++session_;
  transmitter_.Flush();
  fifo_.Clear();
  reportedInputs_ = InputsLocked();
  credit_.Grant(kCreditAfterOpen);
}

void Adapter::FailControl(UCHAR request, USBD_STATUS status, int count) {
  std::lock_guard<std::mutex> guard(lock_);
  controlFaults_[request] = {status, count};
}

void Adapter::SetOpenReply(std::vector<UCHAR> reply) {
  std::lock_guard<std::mutex> guard(lock_);
  openReply_ = std::move(reply);
}

void Adapter::ClearOpenReply() {
  std::lock_guard<std::mutex> guard(lock_);
  openReply_.reset();
}

}  // namespace hk::adapter
