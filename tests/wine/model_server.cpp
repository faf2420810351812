// The adapter model behind the Wine tier's virtual USB bus. Reads the bus's requests on standard
// input and writes the replies on standard output (the two FIFOs the bus opens); every request and
// reply is logged on standard error, which is the bus's log. The adapter has a loopback plug and
// moves characters without UART timing, on the real-time clock.
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "kernel/clock.h"
#include "../../tests/wine/bus/bus_protocol.h"

namespace {

using hk::adapter::Adapter;

std::mutex g_outLock;  // standard output and the log
bool g_verbose = true;

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
}

bool WriteAll(const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size != 0) {
    ssize_t n = write(1, p, size);
    if (n <= 0) return false;
    p += n;
    size -= size_t(n);
  }
  return true;
}

bool ReadAll(void* data, size_t size) {
  char* p = static_cast<char*>(data);
  while (size != 0) {
    ssize_t n = read(0, p, size);
    if (n <= 0) return false;
    p += n;
    size -= size_t(n);
  }
  return true;
}

void Send(uint64_t id, USBD_STATUS status, const UCHAR* data, uint32_t bytes) {
  OrvixBusMessage reply{};
  reply.Size = uint32_t(sizeof reply + (data ? bytes : 0));
  reply.Kind = kBusReply;
  reply.Id = id;
  reply.Status = int32_t(status);
  reply.Bytes = bytes;
  std::vector<UCHAR> message(reply.Size);
  std::memcpy(message.data(), &reply, sizeof reply);
  if (data && bytes) std::memcpy(message.data() + sizeof reply, data, bytes);
  std::lock_guard<std::mutex> guard(g_outLock);
  if (g_verbose) Log("model: reply %llu status %#x bytes %u\n", (unsigned long long)id, unsigned(status), bytes);
  WriteAll(message.data(), message.size());
}

class BusTransfer : public hk::usb::Transfer {
 public:
  BusTransfer(uint64_t id, UCHAR endpoint, std::vector<UCHAR> buffer)
      : id_(id), endpoint_(endpoint), buffer_(std::move(buffer)) {}
  UCHAR Endpoint() const override { return endpoint_; }
  ULONG Length() const override { return ULONG(buffer_.size()); }
  UCHAR* Buffer() override { return buffer_.data(); }
  bool Complete(ULONG bytes, USBD_STATUS status, LONGLONG) override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (!pending_) return false;
      pending_ = false;
    }
    if (bytes > buffer_.size()) bytes = ULONG(buffer_.size());
    Send(id_, status, In() ? buffer_.data() : nullptr, bytes);
    return true;
  }
  bool Pending() const override {
    std::lock_guard<std::mutex> guard(lock_);
    return pending_;
  }
  // Returns whether it was still pending.
  bool MarkDone() {
    std::lock_guard<std::mutex> guard(lock_);
    bool was = pending_;
    pending_ = false;
    return was;
  }

 private:
  const uint64_t id_;
  const UCHAR endpoint_;
  std::vector<UCHAR> buffer_;
  mutable std::mutex lock_;
  bool pending_ = true;
};

void Control(Adapter& adapter, const OrvixBusMessage& m, const UCHAR* data) {
  hk::usb::SetupPacket setup{m.Setup[0], m.Setup[1], USHORT(m.Setup[2] | m.Setup[3] << 8),
                             USHORT(m.Setup[4] | m.Setup[5] << 8), USHORT(m.Setup[6] | m.Setup[7] << 8)};
  bool in = (setup.RequestType & 0x80) != 0;
  std::vector<UCHAR> buffer(setup.Length);
  if (!in) std::memcpy(buffer.data(), data, std::min<size_t>(buffer.size(), m.Size - sizeof m));
  ULONG length = in ? 0 : setup.Length;
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  if ((setup.RequestType & 0x60) == 0 && setup.Request == 6) {
    // Standard GET_DESCRIPTOR, answered from the model's descriptors as the host's bus does.
    std::vector<UCHAR> descriptor;
    UCHAR type = UCHAR(setup.Value >> 8);
    if (type == 1) descriptor = adapter.DeviceDescriptor();
    else if (type == 2) descriptor = adapter.ConfigurationDescriptor(UCHAR(setup.Value));
    else status = USBD_STATUS_STALL_PID;
    length = ULONG(std::min<size_t>(descriptor.size(), buffer.size()));
    std::memcpy(buffer.data(), descriptor.data(), length);
  } else {
    status = adapter.Control(setup, buffer.data(), length);
  }
  if (g_verbose)
    Log("model: control %llu %02x %02x %04x %04x %04x -> %#x, %lu bytes\n", (unsigned long long)m.Id,
        setup.RequestType, setup.Request, setup.Value, setup.Index, setup.Length, unsigned(status),
        (unsigned long)length);
  Send(m.Id, status, in ? buffer.data() : nullptr, length);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--quiet") == 0) g_verbose = false;
  hk::clock::Start(hk::clock::Mode::Real);
  hk::adapter::AdapterOptions options;
  options.Partner = hk::adapter::LinePartner::Loopback;
  options.Unthrottled = true;
  // An unthrottled loopback puts each bulk-out packet on RX at once, however slowly Wine gets
  // round to the next bulk-in transfer; the FIFO holds all the test sends, so that what is lost
  // can only be lost by the driver. Overflows are still counted and logged.
  options.RxFifoChars = 4u << 20;
  auto adapter = std::make_unique<Adapter>(options);
  std::map<uint64_t, std::shared_ptr<BusTransfer>> transfers;  // bulk transfers by request id
  std::vector<UCHAR> data(ORVIXBUS_MAX_DATA);
  unsigned long long bulkOut = 0, bulkIn = 0;
  for (;;) {
    OrvixBusMessage m;
    if (!ReadAll(&m, sizeof m)) break;
    if (m.Size < sizeof m || m.Size > ORVIXBUS_MAX_MESSAGE) {
      Log("model: a request of %u bytes; stopping\n", m.Size);
      break;
    }
    uint32_t extra = m.Size - uint32_t(sizeof m);
    if (!ReadAll(data.data(), extra)) break;
    switch (m.Kind) {
      case kBusControl:
        Control(*adapter, m, data.data());
        break;
      case kBusConfigure:
        Log("model: configuration %u (%llu)\n", m.Setup[2], (unsigned long long)m.Id);
        adapter->Configured(m.Setup[2]);
        Send(m.Id, USBD_STATUS_SUCCESS, nullptr, 0);
        break;
      case kBusBulk: {
        bool in = (m.Endpoint & 0x80) != 0;
        std::vector<UCHAR> buffer(in ? m.Length : extra);
        if (!in) {
          std::memcpy(buffer.data(), data.data(), extra);
          bulkOut += extra;
        } else {
          bulkIn += 1;
        }
        if (g_verbose)
          Log("model: bulk %llu endpoint %02x %u bytes\n", (unsigned long long)m.Id, m.Endpoint,
              unsigned(buffer.size()));
        auto transfer = std::make_shared<BusTransfer>(m.Id, m.Endpoint, std::move(buffer));
        transfers[m.Id] = transfer;
        // Only the last finished transfer of an endpoint can still be taken back by a cancel;
        // older finished ones are dropped, pending ones kept however old.
        for (auto it = transfers.begin(); transfers.size() > 256 && it != transfers.end();)
          it = it->second->Pending() ? std::next(it) : transfers.erase(it);
        adapter->Submit(transfer);
        break;
      }
      case kBusCancel: {
        Log("model: cancel %llu\n", (unsigned long long)m.Id);
        auto it = transfers.find(m.Id);
        if (it == transfers.end()) break;
        std::shared_ptr<BusTransfer> transfer = it->second;
        transfers.erase(it);
        transfer->MarkDone();
        adapter->Cancelled(transfer);
        break;
      }
      case kBusDetach:
        Log("model: detached after %llu bulk-out bytes and %llu bulk-in transfers; %llu characters lost to a full "
            "receive FIFO\n", bulkOut, bulkIn, (unsigned long long)adapter->ReceiveOverflows());
        for (auto& entry : transfers) entry.second->MarkDone();
        transfers.clear();
        adapter->Detached();
        break;
      default:
        Log("model: unknown request kind %u\n", m.Kind);
        break;
    }
  }
  Log("model: the bus closed its side after %llu bulk-out bytes and %llu bulk-in transfers\n", bulkOut, bulkIn);
  for (const auto& fault : adapter->Faults()) Log("model: fault: %s\n", fault.Detail.c_str());
  adapter.reset();
  hk::clock::Stop();
  return 0;
}
