// The transmit buffer is sent from a moving front and moved down only when an append needs the
// room behind it. A long chunk that fills the buffer to its last bytes is sent while line
// changes are queued behind it at every stage of its draining: each change needs the room at
// the end, so what is left of the chunk moves down, and the stream must come out whole and in
// order whatever moved when.
#include "data_flow.h"
#include "transmit/transmit.h"

namespace hk::test {
namespace {

class TxHead : public DataFlowTest {
 protected:
  void SetUp() override {
    DataFlowTest::SetUp();
    Open();
  }
};

// The modem-control units of a stream, in order, each with the number of data characters that
// went out before it.
std::vector<std::pair<size_t, UCHAR>> ControlUnitsAfterData(const std::vector<std::vector<UCHAR>>& transfers) {
  std::vector<std::pair<size_t, UCHAR>> out;
  size_t data = 0;
  for (const auto& t : transfers)
    for (size_t i = 0; i + 1 < t.size(); i += 2) {
      if ((t[i] & 0xE0) == 0xA0) ++data;
      else out.emplace_back(data, t[i]);
    }
  return out;
}

TEST_F(TxHead, LineChangesBehindAFullBufferKeepTheirPlaceWhereverTheFrontStands) {
  AlignToTick();
  Bus().SetFramePacing(true);
  // Milliseconds of sending (a transfer a frame) before the line changes. The 34 line changes
  // go first, one a transfer; then the chunk's packets: the first ones, some in the middle and
  // the buffer's last ones.
  for (ULONG sent : {35u, 36u, 37u, 66u, 1000u, 3000u, 3150u}) {
    std::string where = std::to_string(sent) + " ms sent";
    size_t first = Device().BulkOutTransfers().size();
    // Line changes queue behind the transfer in flight up to 66 bytes, the most a write is
    // taken with. Its 100,000 characters then fill the buffer to 200,066 of 200,067 bytes.
    ASSERT_EQ(SetLine(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    for (int i = 0; i < 40 && Ext()->TxCount < 66; ++i)
      ASSERT_EQ(SetLine(i % 2 ? IOCTL_SERIAL_SET_RTS : IOCTL_SERIAL_CLR_RTS), STATUS_SUCCESS);
    ASSERT_EQ(Ext()->TxCount, 66u) << where;
    auto data = Pattern(100000, sent + 1);
    auto write = StartWrite(data);
    ASSERT_EQ(Ext()->TxCount, 200066u) << where;

    for (ULONG i = 0; i < sent; ++i) machine().AdvanceMs(1);
    // No room for a unit at the end: what is left moves down to make it.
    ULONG before = Ext()->TxCount;
    ASSERT_LE(before, 200000u) << where;
    ASSERT_EQ(SetLine(IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->TxCount, before + 2) << where;
    ASSERT_EQ(SetLine(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->TxCount, before + 4) << where;

    for (int ms = 0; ms < 20000 && !(write->Done() && Ext()->TxCount == 0); ++ms) machine().AdvanceMs(1);
    ASSERT_TRUE(write->Done()) << where;
    EXPECT_EQ(write->Status(), STATUS_SUCCESS) << where;
    EXPECT_EQ(Ext()->TxCount, 0u) << where;
    auto transfers = Device().BulkOutTransfers();
    transfers.erase(transfers.begin(), transfers.begin() + (long)first);
    EXPECT_EQ(DataCharacters(transfers), data) << where;
    // The units queued before the write go before its data, the two queued after it go last.
    auto controls = ControlUnitsAfterData(transfers);
    ASSERT_GE(controls.size(), 3u) << where;
    size_t n = controls.size();
    for (size_t i = 0; i + 2 < n; ++i) EXPECT_EQ(controls[i].first, 0u) << where << ", unit " << i;
    EXPECT_EQ(controls[n - 2].first, data.size()) << where;
    EXPECT_EQ(controls[n - 1].first, data.size()) << where;
    EXPECT_EQ(controls[n - 2].second & 0x01, 0) << where << ": DTR dropped";
    EXPECT_EQ(controls[n - 1].second & 0x01, 0x01) << where << ": DTR raised";
    EXPECT_EQ(AdapterFaults(), "") << where;
  }
}

}  // namespace
}  // namespace hk::test
