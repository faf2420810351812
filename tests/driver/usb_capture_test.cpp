// A whole port session captured from the bus and read back with Wireshark's own dissector: the
// adapter's vendor requests and the three bulk pipes as a USB analyser would show them.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "open_port.h"
#include "usb/capture.h"

namespace hk::test {
namespace {

bool TsharkFound() {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (!dir.empty() && access((dir + "/tshark").c_str(), X_OK) == 0) return true;
  return false;
}

using Row = std::vector<std::string>;

// One row per frame, the fields in the order asked; tshark's exit status in `exit`.
std::vector<Row> Fields(const std::string& capture, const std::vector<std::string>& fields, int& exit) {
  std::string command = "tshark -n -r '" + capture + "' -T fields -E separator=/t -E occurrence=f";
  for (const auto& f : fields) command += " -e " + f;
  command += " 2>/dev/null";
  std::vector<Row> rows;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) {
    exit = -1;
    return rows;
  }
  std::string text;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
  exit = pclose(pipe);
  std::stringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    Row row;
    std::stringstream values(line);
    for (std::string v; std::getline(values, v, '\t');) row.push_back(v);
    row.resize(fields.size());
    rows.push_back(row);
  }
  return rows;
}

class UsbCapture : public OpenPortTest {
 protected:
  void SetUp() override {
    if (!TsharkFound()) {
      OpenPortTest::SetUp();  // a machine for the tear-down to shut down
      GTEST_SKIP() << "tshark is not installed: the capture cannot be checked";
    }
    path_ = ::testing::TempDir() + "orvix_session_" + std::to_string(getpid()) + ".pcap";
    // The capture must see the adapter arrive, so it runs before the fixture plugs it in.
    ASSERT_TRUE(usb::StartCapture(path_));
    OpenPortTest::SetUp();
  }
  void TearDown() override {
    usb::StopCapture();
    if (!path_.empty()) std::remove(path_.c_str());
    OpenPortTest::TearDown();
  }
  adapter::AdapterOptions AdapterSetup() override {
    auto o = OpenPortTest::AdapterSetup();
    o.Partner = adapter::LinePartner::Loopback;
    return o;
  }
  std::string path_;
};

// The first row at or after `from` whose fields have the given values; rows.size() if none.
size_t Find(const std::vector<Row>& rows, const std::vector<std::pair<size_t, std::string>>& want, size_t from = 0) {
  for (size_t i = from; i < rows.size(); ++i) {
    bool all = true;
    for (const auto& [field, value] : want) all = all && rows[i][field] == value;
    if (all) return i;
  }
  return rows.size();
}

TEST_F(UsbCapture, WholeSessionShowsTheVendorRequestsAndTheThreeBulkPipes) {
  Open();
  SERIAL_BAUD_RATE rate{115200};
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof rate), STATUS_SUCCESS);
  SetTimeouts(0, 0, 1000);
  // Long enough to use up the credit the adapter grants at open, so the writer asks for more.
  std::string text;
  for (int i = 0; i < 300; ++i) text += (char)('a' + i % 26);
  auto write = StartWrite(Bytes(text));
  auto read = StartRead((ULONG)text.size());
  machine().AdvanceMs(100);
  ASSERT_TRUE(write->Done());
  ASSERT_TRUE(read->Done());
  EXPECT_EQ(std::string(read->Buffer.begin(), read->Buffer.end()), text);
  Close();
  machine().Unplug(Node());
  usb::StopCapture();

  enum { kFrame, kDirection, kType, kEndpoint, kStage, kRequestType, kRequest, kCapData, kFragment, kStatus,
         kVendor };
  int exit = 0;
  auto rows = Fields(path_,
                     {"frame.number", "usb.irp_info.direction", "usb.transfer_type", "usb.endpoint_address",
                      "usb.control_stage", "usb.bmRequestType", "usb.setup.bRequest", "usb.capdata",
                      "usb.data_fragment", "usb.usbd_status", "usb.idVendor"},
                     exit);
  ASSERT_EQ(exit, 0) << "tshark could not read " << path_;
  ASSERT_FALSE(rows.empty());
  const size_t none = rows.size();
  const std::string out = "0x00", back = "0x01", control = "0x02", bulk = "0x03";

  EXPECT_NE(Find(rows, {{kDirection, back}, {kVendor, "0x7a3c"}}), none) << "the device descriptor";

  size_t open = Find(rows, {{kDirection, out}, {kType, control}, {kStage, "0"}, {kRequestType, "0xc1"}, {kRequest, "1"}});
  ASSERT_NE(open, none) << "request 1 at open";
  size_t setLine = Find(rows, {{kDirection, out}, {kType, control}, {kStage, "0"}, {kRequestType, "0x41"}, {kRequest, "3"}}, open);
  ASSERT_NE(setLine, none) << "request 3 after open";
  EXPECT_NE(Find(rows, {{kDirection, out}, {kStage, "1"}, {kFragment, "1100000001000000"}}, setLine), none)
      << "the line-settings block for 115200 8N1";
  size_t close = Find(rows, {{kDirection, out}, {kType, control}, {kStage, "0"}, {kRequestType, "0xc1"}, {kRequest, "2"}}, setLine);
  EXPECT_NE(close, none) << "request 2 at close, after the others";

  size_t firstOut = Find(rows, {{kDirection, out}, {kType, bulk}, {kEndpoint, "0x02"}}, open);
  ASSERT_NE(firstOut, none) << "bulk-out on endpoint 0x02";
  EXPECT_EQ(rows[firstOut][kCapData], "c300") << "open raises DTR and RTS with one modem-control unit";
  size_t dataOut = Find(rows, {{kDirection, out}, {kType, bulk}, {kEndpoint, "0x02"}}, firstOut + 1);
  ASSERT_NE(dataOut, none) << "bulk-out data on endpoint 0x02";
  EXPECT_EQ(rows[dataOut][kCapData].substr(0, 8), "a361a362") << "data units: 0xA3 headers, then the characters";
  EXPECT_NE(Find(rows, {{kDirection, out}, {kType, bulk}, {kEndpoint, "0x83"}}, open), none) << "a credit query";
  EXPECT_NE(Find(rows, {{kDirection, back}, {kType, bulk}, {kEndpoint, "0x83"}, {kStatus, "0x00000000"}}, open), none)
      << "its reply";
  size_t in = Find(rows, {{kDirection, back}, {kType, bulk}, {kEndpoint, "0x81"}, {kStatus, "0x00000000"}}, open);
  ASSERT_NE(in, none) << "bulk-in data on endpoint 0x81";
  // The loopback plug reports the lines open raised (status units, 0x0B: CTS, DSR, DCD) before
  // the characters come back: the first units with characters are looked for.
  size_t at = std::string::npos;
  for (; in != none; in = Find(rows, {{kDirection, back}, {kType, bulk}, {kEndpoint, "0x81"}, {kStatus, "0x00000000"}}, in + 1)) {
    const std::string& data = rows[in][kCapData];
    for (size_t i = 0; i + 2 <= data.size() && at == std::string::npos; i += 4)
      if (data.compare(i, 2, "0b") != 0) at = i;
    if (at != std::string::npos) break;
  }
  ASSERT_NE(in, none) << "bulk-in characters on endpoint 0x81";
  EXPECT_EQ(rows[in][kCapData].substr(at, 8), "2b612b62")
      << "character units: 0x20 headers with the lines the plug loops back (0x0B), then the characters";
  EXPECT_NE(Find(rows, {{kDirection, back}, {kEndpoint, "0x81"}, {kStatus, "0xc0010000"}}, open), none)
      << "the bulk-in transfer cancelled at close";
}

}  // namespace
}  // namespace hk::test
