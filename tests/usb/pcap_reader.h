// Reads a pcap file of USBPcap records the way Wireshark frames it, so tests can look at what a
// capture wrote field by field. Framing faults are reported, not skipped over.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace hk::test {

struct PcapHeader {
  uint32_t Magic = 0;
  uint16_t Major = 0;
  uint16_t Minor = 0;
  int32_t Zone = 0;
  uint32_t Accuracy = 0;
  uint32_t SnapLength = 0;
  uint32_t LinkType = 0;
};

struct UsbPcapRecord {
  uint32_t Seconds = 0;
  uint32_t Microseconds = 0;
  uint32_t Captured = 0;  // bytes in the file
  uint32_t Original = 0;  // bytes before the snapshot length cut them
  uint16_t HeaderLength = 0;
  uint64_t IrpId = 0;
  uint32_t Status = 0;
  uint16_t Function = 0;
  uint8_t Info = 0;
  uint16_t Bus = 0;
  uint16_t Device = 0;
  uint8_t Endpoint = 0;
  uint8_t Transfer = 0;
  uint32_t DataLength = 0;
  int Stage = -1;  // control transfers only
  std::vector<uint8_t> Data;
  bool Completion() const { return (Info & 1) != 0; }
};

struct PcapFile {
  PcapHeader Header;
  std::vector<UsbPcapRecord> Records;
  std::string Error;  // empty when every byte framed
};

PcapFile ReadPcap(const std::string& path);

}  // namespace hk::test
