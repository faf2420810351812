#include "data_flow.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "io/io_manager.h"
#include "kernel/clock.h"

namespace hk::test {

namespace {

const UCHAR kCreditEndpoint = 0x83;
const UCHAR kDataOutEndpoint = 0x02;

}  // namespace

BusTrace::BusTrace(pnp::DeviceNode* node) : state_(std::make_shared<State>()) {
  std::shared_ptr<State> state = state_;
  usb::ControllerOf(node)->AddObserver([state](const usb::UrbEvent& e) {
    if (e.Type != usb::TransferType::Bulk) return;
    std::string text;
    bool failed = e.Completion && !USBD_SUCCESS(e.Status);
    if (e.Endpoint == kDataOutEndpoint) {
      if (failed) text = "out failed";
      else if (!e.Completion) text = "out " + std::to_string(e.Data.size());
    } else if (e.Endpoint == kCreditEndpoint) {
      if (failed) text = "ask failed";
      else if (!e.Completion) text = "ask";
      else text = "reply " + Hex(e.Data);
    }
    if (text.empty()) return;
    std::lock_guard<std::mutex> guard(state->Lock);
    state->Events.push_back(text);
  });
}

std::vector<std::string> BusTrace::Events() const {
  std::lock_guard<std::mutex> guard(state_->Lock);
  return state_->Events;
}

std::string BusTrace::Text() const {
  std::string out;
  for (const auto& e : Events()) out += (out.empty() ? "" : ", ") + e;
  return out;
}

void BusTrace::Clear() {
  std::lock_guard<std::mutex> guard(state_->Lock);
  state_->Events.clear();
}

size_t BusTrace::Count(const std::string& event) const {
  size_t n = 0;
  for (const auto& e : Events()) n += e == event;
  return n;
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

std::vector<UCHAR> DataCharacters(const std::vector<std::vector<UCHAR>>& transfers) {
  std::vector<UCHAR> out;
  for (const auto& t : transfers)
    for (size_t i = 0; i + 1 < t.size(); i += 2)
      if ((t[i] & 0xE0) == 0xA0) out.push_back(t[i + 1]);
  return out;
}

std::string Hex(const std::vector<UCHAR>& bytes) {
  std::string out;
  char text[4];
  for (UCHAR b : bytes) {
    std::snprintf(text, sizeof text, "%02X", b);
    out += (out.empty() ? "" : " ") + std::string(text);
  }
  return out;
}

std::string UnitsText(const std::vector<std::vector<UCHAR>>& transfers) {
  std::string out;
  for (const auto& t : transfers) out += (out.empty() ? "" : " | ") + Hex(t);
  return out;
}

NTSTATUS InternalIoctl(PDEVICE_OBJECT device, ULONG code, void* in, ULONG inLength, void* out, ULONG outLength,
                       ULONG_PTR* information) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(code, device, in, inLength, out, outLength, TRUE, &done, &iosb);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = IoCallDriver(device, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  if (information) *information = iosb.Information;
  return status;
}

NTSTATUS RawWrite(PDEVICE_OBJECT device, const std::vector<UCHAR>& data, ULONG_PTR* information) {
  ULONG_PTR info = 0;
  PIRP irp = io::AllocateSystemIrp(device->StackSize, [&info](PIRP done) {
    info = done->IoStatus.Information;
    std::free(done->AssociatedIrp.SystemBuffer);
    done->AssociatedIrp.SystemBuffer = nullptr;
  });
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_WRITE;
  sp->Parameters.Write.Length = (ULONG)data.size();
  irp->AssociatedIrp.SystemBuffer = std::malloc(data.size() ? data.size() : 1);
  if (!data.empty()) std::memcpy(irp->AssociatedIrp.SystemBuffer, data.data(), data.size());
  NTSTATUS status = io::SendAndWait(device, irp);
  if (information) *information = info;
  return status;
}

void PendingDeleter::operator()(Pending* p) const {
  if (p->Done() || Graveyard == nullptr) delete p;
  else Graveyard->push_back(p);
}

void DataFlowTest::TearDown() {
  // Close sends its line change and waits for it: a paced bus would hold it until time moves.
  if (usb::HostController* bus = usb::ControllerOf(Node())) bus->SetFramePacing(false);
  OpenPortTest::TearDown();
  for (Pending* p : graveyard_) delete p;
  graveyard_.clear();
}

void DataFlowTest::SetHandflow(ULONG control, ULONG replace, LONG xonLimit, LONG xoffLimit) {
  SERIAL_HANDFLOW h{control, replace, xonLimit, xoffLimit};
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_HANDFLOW, &h, sizeof h), STATUS_SUCCESS);
}

void DataFlowTest::SetWaitMask(ULONG mask) {
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask), STATUS_SUCCESS);
}

std::string DataFlowTest::AdapterFaults() {
  std::string out;
  for (const auto& v : Device().Faults()) out += std::string(adapter::ToString(v.Kind)) + ": " + v.Detail + "\n";
  return out;
}

LONGLONG DataFlowTest::NowMs() { return clock::Now() / clock::kUnitsPerMs; }

void DataFlowTest::AlignToTick() {
  LONGLONG tick = clock::Tick();
  LONGLONG rest = clock::Now() % tick;
  if (rest) clock::Advance(tick - rest);
  machine().Settle();
}

void DataFlowTest::Receive(const std::vector<UCHAR>& chars) {
  Device().ReceiveFromLine(chars);
  machine().Settle();
}

}  // namespace hk::test
