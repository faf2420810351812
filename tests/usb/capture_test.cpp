// The USB capture: a pcap file Wireshark reads as a Windows (USBPcap) capture, holding every URB
// of every device, submission and completion paired by IRP, at the times the machine saw them.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "fake_device.h"
#include "pcap_reader.h"
#include "tshark.h"
#include "urb_client.h"
#include "usb/capture.h"
#include "verified_test.h"

namespace hk::test {
namespace {

constexpr uint32_t kMachineEpochUnix = 1767225600;  // 2026-01-01, when every machine's clock starts
constexpr uint32_t kStallPid = 0xC0000004;

using Row = std::map<std::string, std::string>;

std::string Hex(const std::vector<UCHAR>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (UCHAR b : bytes) out += {digits[b >> 4], digits[b & 15]};
  return out;
}

std::string Describe(const std::vector<Row>& rows) {
  std::ostringstream out;
  for (const Row& row : rows) {
    for (const auto& [field, value] : row) out << field << '=' << value << ' ';
    out << '\n';
  }
  return out.str();
}

// The first row at or after `from` that has every wanted value; an empty value means absent.
size_t Find(const std::vector<Row>& rows, const Row& wanted, size_t from = 0) {
  for (size_t i = from; i < rows.size(); ++i) {
    bool match = true;
    for (const auto& [field, value] : wanted) {
      auto it = rows[i].find(field);
      match = match && (value.empty() ? it == rows[i].end() : it != rows[i].end() && it->second == value);
    }
    if (match) return i;
  }
  return rows.size();
}

uint64_t Microseconds(const UsbPcapRecord& r) { return uint64_t{r.Seconds} * 1000000 + r.Microseconds; }

class Capture : public MachineTest {
 protected:
  // No function driver: the tests are the driver, sending URBs to the device's PDO.
  MachineOptions Options() override { return MachineOptions{}; }

  void TearDown() override {
    usb::StopCapture();
    MachineTest::TearDown();
    for (const auto& path : paths_) std::remove(path.c_str());
  }

  std::string NewPath() {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    paths_.push_back(::testing::TempDir() + "usb_capture_" + name + "_" + std::to_string(getpid()) + "_" +
                     std::to_string(paths_.size()) + ".pcap");
    return paths_.back();
  }

  UrbClient PlugIn() {
    pnp::DeviceNode* node = machine().PlugIn(std::make_shared<FakeDevice>());
    EXPECT_NE(node, nullptr);
    return UrbClient(node);
  }

 private:
  std::vector<std::string> paths_;
};

TEST_F(Capture, WiresharkDecodesTheVendorRequestAndTheBulkTransfersInOrderPairedByIrp) {
  if (!TsharkInstalled())
    GTEST_SKIP() << "tshark is not installed (Debian package tshark): cannot check the capture against "
                    "Wireshark's USBPcap dissector";
  std::string path = NewPath();
  ASSERT_TRUE(usb::StartCapture(path));
  UrbClient client = PlugIn();
  std::vector<UCHAR> descriptor, answer, received;
  const std::vector<UCHAR> sent = {'p', 'i', 'n', 'g', 0x00, 0x7F, 0x80};
  ASSERT_EQ(client.GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, descriptor, 18), STATUS_SUCCESS);
  ASSERT_EQ(client.SelectConfiguration(), STATUS_SUCCESS);
  ASSERT_EQ(client.VendorIn(FakeDevice::kReadRequest, answer, 2), STATUS_SUCCESS);
  ASSERT_EQ(client.BulkOut(sent), STATUS_SUCCESS);
  ASSERT_EQ(client.BulkIn(received, 64), STATUS_SUCCESS);
  ASSERT_EQ(received, FakeDevice::kBulkInData);
  usb::StopCapture();

  TsharkOutput shark = TsharkFields(
      path, {"frame.number", "usb.irp_id", "usb.irp_info.direction", "usb.transfer_type", "usb.endpoint_address",
             "usb.control_stage", "usb.bmRequestType", "usb.setup.bRequest", "usb.control.Response",
             "usb.capdata", "usb.usbd_status", "usb.request_in", "usb.idVendor", "_ws.malformed"});
  ASSERT_EQ(shark.ExitCode, 0) << shark.Errors;
  EXPECT_EQ(shark.Errors, "");
  const auto& rows = shark.Rows;
  const size_t none = rows.size();
  SCOPED_TRACE("tshark saw:\n" + Describe(rows));
  EXPECT_EQ(Find(rows, {{"_ws.malformed", "_ws.malformed"}}), none) << "a malformed record";
  EXPECT_NE(Find(rows, {{"usb.irp_info.direction", "0x01"}, {"usb.idVendor", "0x7a3c"}}), none)
      << "the device descriptor is decoded only when its completion is matched to the request";

  size_t request = Find(rows, {{"usb.irp_info.direction", "0x00"}, {"usb.transfer_type", "0x02"},
                               {"usb.control_stage", "0"}, {"usb.endpoint_address", "0x80"},
                               {"usb.bmRequestType", "0xc1"}, {"usb.setup.bRequest", "1"}});
  ASSERT_NE(request, none) << "the vendor request's setup stage";
  const std::string vendorIrp = rows[request].at("usb.irp_id");
  size_t response = Find(rows, {{"usb.irp_id", vendorIrp}, {"usb.irp_info.direction", "0x01"},
                                {"usb.control_stage", "3"}, {"usb.control.Response", Hex(FakeDevice::kReadAnswer)},
                                {"usb.usbd_status", "0x00000000"},
                                {"usb.request_in", rows[request].at("frame.number")}},
                         request + 1);
  ASSERT_NE(response, none) << "the vendor request's completion with the device's two bytes";

  size_t out = Find(rows, {{"usb.irp_info.direction", "0x00"}, {"usb.transfer_type", "0x03"},
                           {"usb.endpoint_address", "0x02"}, {"usb.capdata", Hex(sent)}},
                    response + 1);
  ASSERT_NE(out, none) << "the bulk OUT data, after the vendor request";
  const std::string outIrp = rows[out].at("usb.irp_id");
  size_t outDone = Find(rows, {{"usb.irp_id", outIrp}, {"usb.irp_info.direction", "0x01"},
                               {"usb.endpoint_address", "0x02"}, {"usb.usbd_status", "0x00000000"},
                               {"usb.request_in", rows[out].at("frame.number")}},
                        out + 1);
  ASSERT_NE(outDone, none) << "the bulk OUT completion";

  size_t in = Find(rows, {{"usb.irp_info.direction", "0x00"}, {"usb.transfer_type", "0x03"},
                          {"usb.endpoint_address", "0x81"}, {"usb.capdata", ""}},
                   outDone + 1);
  ASSERT_NE(in, none) << "the bulk IN submission, without data";
  const std::string inIrp = rows[in].at("usb.irp_id");
  size_t inDone = Find(rows, {{"usb.irp_id", inIrp}, {"usb.irp_info.direction", "0x01"},
                              {"usb.capdata", Hex(FakeDevice::kBulkInData)}, {"usb.usbd_status", "0x00000000"},
                              {"usb.request_in", rows[in].at("frame.number")}},
                       in + 1);
  ASSERT_NE(inDone, none) << "the bulk IN completion with the device's data";
  EXPECT_EQ((std::set<std::string>{vendorIrp, outIrp, inIrp}).size(), 3u) << "every URB has an IRP ID of its own";
}

TEST_F(Capture, RecordsFollowTheUsbPcapLayoutAtTheMachinesTimes) {
  UrbClient client = PlugIn();
  std::string path = NewPath();
  ASSERT_TRUE(usb::StartCapture(path));
  machine().AdvanceMs(1500);
  const LONGLONG first = clock::Now();
  const std::vector<UCHAR> command = {0x11, 0x22, 0x33};
  ASSERT_EQ(client.VendorOut(FakeDevice::kWriteRequest, command), STATUS_SUCCESS);
  machine().AdvanceMs(7);
  std::vector<UCHAR> nothing;
  USBD_STATUS stalled = 0;
  EXPECT_EQ(client.VendorIn(9, nothing, 4, &stalled), STATUS_UNSUCCESSFUL);
  EXPECT_EQ((uint32_t)stalled, kStallPid);
  ASSERT_EQ(client.SelectConfiguration(), STATUS_SUCCESS);
  std::vector<UCHAR> received;
  ASSERT_EQ(client.BulkIn(received, 64), STATUS_SUCCESS);
  usb::StopCapture();

  PcapFile file = ReadPcap(path);
  ASSERT_EQ(file.Error, "");
  EXPECT_EQ(file.Header.Magic, 0xa1b2c3d4u);
  EXPECT_EQ(file.Header.Major, 2);
  EXPECT_EQ(file.Header.Minor, 4);
  EXPECT_EQ(file.Header.Zone, 0);
  EXPECT_EQ(file.Header.SnapLength, 65535u);
  EXPECT_EQ(file.Header.LinkType, 249u);
  const auto& r = file.Records;
  ASSERT_EQ(r.size(), 11u);
  for (size_t i = 0; i < r.size(); ++i) {
    SCOPED_TRACE("record " + std::to_string(i));
    EXPECT_EQ(r[i].Captured, r[i].Original);
    EXPECT_EQ(r[i].Captured, r[i].HeaderLength + r[i].DataLength);
    EXPECT_EQ(r[i].HeaderLength, r[i].Transfer == 2 ? 28 : 27) << "control transfers add the stage";
    EXPECT_EQ(r[i].Bus, 1);
    EXPECT_EQ(r[i].Device, 1);
    EXPECT_EQ(r[i].Completion(), i == 2 || i == 4 || i == 6 || i == 8 || i == 10);
  }

  // A vendor OUT request: the setup stage, the OUT data as a stage of its own, the completion.
  EXPECT_EQ(r[0].Function, URB_FUNCTION_VENDOR_INTERFACE);
  EXPECT_EQ(r[0].Transfer, 2);
  EXPECT_EQ(r[0].Endpoint, 0x00);
  EXPECT_EQ(r[0].Stage, 0);
  EXPECT_EQ(r[0].Data, (std::vector<UCHAR>{0x41, FakeDevice::kWriteRequest, 0, 0, 0, 0, 3, 0}));
  EXPECT_EQ(r[1].IrpId, r[0].IrpId);
  EXPECT_EQ(r[1].Stage, 1);
  EXPECT_EQ(r[1].Data, command);
  EXPECT_EQ(r[2].IrpId, r[0].IrpId);
  EXPECT_EQ(r[2].Stage, 3);
  EXPECT_EQ(r[2].DataLength, 0u);
  EXPECT_EQ(r[2].Status, 0u);

  // Timestamps are the machine's time: its epoch plus its clock, to the microsecond.
  EXPECT_EQ(r[0].Seconds, kMachineEpochUnix + first / 10000000);
  EXPECT_EQ(r[0].Microseconds, first % 10000000 / 10);
  EXPECT_EQ(Microseconds(r[3]) - Microseconds(r[0]), 7000u);

  // A stalled IN request: the direction shows on the default pipe, the USBD status at completion.
  EXPECT_EQ(r[3].Endpoint, 0x80);
  EXPECT_EQ(r[3].Data, (std::vector<UCHAR>{0xC1, 9, 0, 0, 0, 0, 4, 0}));
  EXPECT_NE(r[3].IrpId, r[0].IrpId);
  EXPECT_EQ(r[4].IrpId, r[3].IrpId);
  EXPECT_EQ(r[4].Stage, 3);
  EXPECT_EQ(r[4].Status, kStallPid);
  EXPECT_EQ(r[4].DataLength, 0u);

  // Requests the bus answers itself carry the setup packet they stand for.
  EXPECT_EQ(r[5].Function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
  EXPECT_EQ(r[5].Data, (std::vector<UCHAR>{0x80, 6, 0, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 255, 0}));
  EXPECT_EQ(r[6].Data, FakeDevice().ConfigurationDescriptor(0));
  EXPECT_EQ(r[7].Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(r[7].Data, (std::vector<UCHAR>{0x00, 9, 1, 0, 0, 0, 0, 0}));
  EXPECT_EQ(r[8].IrpId, r[7].IrpId);

  // A bulk IN transfer: no stage, no data at submission, the device's data at completion.
  EXPECT_EQ(r[9].Function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
  EXPECT_EQ(r[9].Transfer, 3);
  EXPECT_EQ(r[9].Endpoint, FakeDevice::kBulkIn);
  EXPECT_EQ(r[9].Stage, -1);
  EXPECT_EQ(r[9].DataLength, 0u);
  EXPECT_EQ(r[10].IrpId, r[9].IrpId);
  EXPECT_EQ(r[10].Endpoint, FakeDevice::kBulkIn);
  EXPECT_EQ(r[10].Data, FakeDevice::kBulkInData);
}

TEST_F(Capture, TransfersLongerThanTheSnapshotLengthAreCutKeepingTheirRealLength) {
  auto device = std::make_shared<FakeDevice>();
  UrbClient client(machine().PlugIn(device));
  ASSERT_EQ(client.SelectConfiguration(0x10000), STATUS_SUCCESS);
  std::vector<UCHAR> sent(0x10000);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = (UCHAR)(i * 7);
  std::string path = NewPath();
  ASSERT_TRUE(usb::StartCapture(path));
  ASSERT_EQ(client.BulkOut(sent), STATUS_SUCCESS);
  usb::StopCapture();
  ASSERT_EQ(device->Written(), std::vector<std::vector<UCHAR>>{sent});

  PcapFile file = ReadPcap(path);
  ASSERT_EQ(file.Error, "");
  ASSERT_EQ(file.Records.size(), 2u);
  const UsbPcapRecord& r = file.Records[0];
  EXPECT_EQ(r.Captured, 65535u);
  EXPECT_EQ(r.Original, 27u + 0x10000);
  EXPECT_EQ(r.DataLength, 0x10000u) << "the header keeps the transfer's real length";
  EXPECT_TRUE(std::equal(r.Data.begin(), r.Data.end(), sent.begin())) << "the data is cut, not garbled";
  EXPECT_EQ(file.Records[1].Captured, 27u);
}

TEST_F(Capture, DevicesPluggedInBeforeAndAfterTheStartAreRecordedOnBusesOfTheirOwn) {
  UrbClient early = PlugIn();
  std::string path = NewPath();
  ASSERT_TRUE(usb::StartCapture(path));
  UrbClient late = PlugIn();
  std::vector<UCHAR> answer;
  ASSERT_EQ(early.VendorIn(FakeDevice::kReadRequest, answer, 2), STATUS_SUCCESS);
  ASSERT_EQ(late.VendorIn(FakeDevice::kReadRequest, answer, 2), STATUS_SUCCESS);
  ASSERT_EQ(early.VendorIn(FakeDevice::kReadRequest, answer, 2), STATUS_SUCCESS);
  usb::StopCapture();

  PcapFile file = ReadPcap(path);
  ASSERT_EQ(file.Error, "");
  const auto& r = file.Records;
  ASSERT_EQ(r.size(), 6u) << "a setup and a completion for each request";
  EXPECT_EQ(r[0].Bus, r[1].Bus);
  EXPECT_EQ(r[0].Bus, r[4].Bus);
  EXPECT_EQ(r[2].Bus, r[3].Bus);
  EXPECT_NE(r[0].Bus, r[2].Bus) << "two devices, both at address 1, must not look like one";
}

TEST_F(Capture, RecordsOnlyWhileOneCaptureRuns) {
  UrbClient first = PlugIn();
  std::vector<UCHAR> answer;
  ASSERT_EQ(first.VendorIn(FakeDevice::kReadRequest, answer, 2), STATUS_SUCCESS);
  EXPECT_FALSE(usb::StartCapture(::testing::TempDir() + "no-such-folder/usb.pcap"));
  EXPECT_FALSE(usb::Capturing());

  std::string path = NewPath();
  ASSERT_TRUE(usb::StartCapture(path));
  EXPECT_FALSE(usb::StartCapture(path)) << "a second capture would truncate the running one";
  EXPECT_TRUE(usb::Capturing());
  ASSERT_EQ(first.VendorOut(FakeDevice::kWriteRequest, {0x42}), STATUS_SUCCESS);
  usb::StopCapture();
  usb::StopCapture();
  EXPECT_FALSE(usb::Capturing());
  ASSERT_EQ(first.VendorIn(FakeDevice::kReadRequest, answer, 2), STATUS_SUCCESS);

  PcapFile file = ReadPcap(path);
  ASSERT_EQ(file.Error, "");
  ASSERT_EQ(file.Records.size(), 3u) << "only the OUT request made while capturing";
  EXPECT_EQ(file.Records[0].Data[0], 0x41);
  EXPECT_EQ(file.Records[2].IrpId, file.Records[0].IrpId);

  // A device plugged in between captures is recorded by the next one, as is the first.
  UrbClient second = PlugIn();
  std::string again = NewPath();
  ASSERT_TRUE(usb::StartCapture(again));
  ASSERT_EQ(second.VendorIn(FakeDevice::kReadRequest, answer, 2), STATUS_SUCCESS);
  ASSERT_EQ(first.VendorIn(FakeDevice::kReadRequest, answer, 2), STATUS_SUCCESS);
  usb::StopCapture();
  file = ReadPcap(again);
  ASSERT_EQ(file.Error, "");
  ASSERT_EQ(file.Records.size(), 4u);
  EXPECT_EQ(file.Records[1].Data, FakeDevice::kReadAnswer);
  EXPECT_EQ(file.Records[3].Data, FakeDevice::kReadAnswer);
  EXPECT_NE(file.Records[0].Bus, file.Records[2].Bus);
}

TEST_F(Capture, TransfersFromSeveralThreadsLeaveEveryRecordWholeAndPaired) {
  UrbClient configured = PlugIn();
  ASSERT_EQ(configured.SelectConfiguration(), STATUS_SUCCESS);
  std::string path = NewPath();
  ASSERT_TRUE(usb::StartCapture(path));
  constexpr int kThreads = 4;
  constexpr int kEach = 50;
  auto payload = [](int thread, int i) {
    std::vector<UCHAR> bytes(1 + (thread * kEach + i) % 61, (UCHAR)(0x80 | thread));
    bytes[0] = (UCHAR)i;
    return bytes;
  };
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      UrbClient client = configured;
      for (int i = 0; i < kEach; ++i)
        if (client.BulkOut(payload(t, i)) != STATUS_SUCCESS) ++failures;
    });
  for (auto& thread : threads) thread.join();
  usb::StopCapture();
  EXPECT_EQ(failures, 0);

  PcapFile file = ReadPcap(path);
  ASSERT_EQ(file.Error, "");
  ASSERT_EQ(file.Records.size(), 2u * kThreads * kEach);
  std::map<uint64_t, int> seen;  // 1: submitted, 2: completed
  std::multiset<std::vector<UCHAR>> written;
  for (const auto& r : file.Records) {
    if (!r.Completion()) {
      EXPECT_EQ(seen[r.IrpId]++, 0) << "IRP " << r.IrpId << " submitted twice";
      written.insert(r.Data);
    } else {
      EXPECT_EQ(seen[r.IrpId]++, 1) << "IRP " << r.IrpId << " completed before it was submitted";
    }
  }
  std::multiset<std::vector<UCHAR>> expected;
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kEach; ++i) expected.insert(payload(t, i));
  EXPECT_TRUE(written == expected) << "every OUT transfer's data, once and intact";
}

}  // namespace
}  // namespace hk::test
