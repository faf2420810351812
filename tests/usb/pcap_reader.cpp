#include "pcap_reader.h"

#include <fstream>
#include <iterator>

namespace hk::test {
namespace {

uint64_t Get(const std::vector<uint8_t>& bytes, size_t at, int size) {
  uint64_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = value << 8 | bytes[at + i];
  return value;
}

constexpr size_t kGlobalHeader = 24;
constexpr size_t kRecordHeader = 16;
constexpr size_t kUsbPcapHeader = 27;

}  // namespace

PcapFile ReadPcap(const std::string& path) {
  PcapFile file;
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (b.size() < kGlobalHeader) {
    file.Error = "no pcap header (" + std::to_string(b.size()) + " bytes)";
    return file;
  }
  PcapHeader& h = file.Header;
  h.Magic = (uint32_t)Get(b, 0, 4);
  h.Major = (uint16_t)Get(b, 4, 2);
  h.Minor = (uint16_t)Get(b, 6, 2);
  h.Zone = (int32_t)Get(b, 8, 4);
  h.Accuracy = (uint32_t)Get(b, 12, 4);
  h.SnapLength = (uint32_t)Get(b, 16, 4);
  h.LinkType = (uint32_t)Get(b, 20, 4);
  for (size_t at = kGlobalHeader; at < b.size();) {
    std::string where = "record " + std::to_string(file.Records.size() + 1) + ": ";
    if (b.size() - at < kRecordHeader) {
      file.Error = where + "cut in its record header";
      return file;
    }
    UsbPcapRecord r;
    r.Seconds = (uint32_t)Get(b, at, 4);
    r.Microseconds = (uint32_t)Get(b, at + 4, 4);
    r.Captured = (uint32_t)Get(b, at + 8, 4);
    r.Original = (uint32_t)Get(b, at + 12, 4);
    at += kRecordHeader;
    if (r.Captured > b.size() - at || r.Captured > r.Original || r.Captured < kUsbPcapHeader) {
      file.Error = where + "captured length " + std::to_string(r.Captured) + " does not fit";
      return file;
    }
    r.HeaderLength = (uint16_t)Get(b, at, 2);
    r.IrpId = Get(b, at + 2, 8);
    r.Status = (uint32_t)Get(b, at + 10, 4);
    r.Function = (uint16_t)Get(b, at + 14, 2);
    r.Info = (uint8_t)Get(b, at + 16, 1);
    r.Bus = (uint16_t)Get(b, at + 17, 2);
    r.Device = (uint16_t)Get(b, at + 19, 2);
    r.Endpoint = (uint8_t)Get(b, at + 21, 1);
    r.Transfer = (uint8_t)Get(b, at + 22, 1);
    r.DataLength = (uint32_t)Get(b, at + 23, 4);
    if (r.HeaderLength < kUsbPcapHeader || r.HeaderLength > r.Captured) {
      file.Error = where + "USBPcap header length " + std::to_string(r.HeaderLength) + " does not fit";
      return file;
    }
    if (r.HeaderLength > kUsbPcapHeader) r.Stage = b[at + kUsbPcapHeader];
    r.Data.assign(b.begin() + at + r.HeaderLength, b.begin() + at + r.Captured);
    at += r.Captured;
    file.Records.push_back(std::move(r));
  }
  return file;
}

}  // namespace hk::test
