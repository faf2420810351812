// Clean-up of a handle, the file-information requests, and the internal requests by which a
// driver stacked on the port imposes basic settings and restores the previous ones.
#include "control_surface.h"

namespace hk::test {
namespace {

class CleanupInfo : public ControlSurfaceTest {
 protected:
  void SetUp() override {
    ControlSurfaceTest::SetUp();
    if (!HasFatalFailure()) Open();
  }
  NTSTATUS Basic(void* out, ULONG outLength, ULONG_PTR* information = nullptr) {
    return KernelIoctl(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, true, nullptr, 0, out, outLength, information);
  }
  NTSTATUS Restore(const void* in, ULONG inLength) {
    return KernelIoctl(IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, true, in, inLength);
  }
  NTSTATUS QueryInfo(FILE_INFORMATION_CLASS type, void* info, ULONG length, ULONG_PTR* information) {
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = win32::NtQueryInformationFile(Handle(), &iosb, info, length, type);
    *information = iosb.Information;
    return status;
  }
  NTSTATUS SetInfo(FILE_INFORMATION_CLASS type) {
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER value{};
    return win32::NtSetInformationFile(Handle(), &iosb, &value, sizeof value, type);
  }
};

TEST_F(CleanupInfo, CleanupCancelsTheReadTheWriteAndTheWaitButKeepsThePortAsItIs) {
  ULONG mask = SERIAL_EV_RING;
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask), STATUS_SUCCESS);
  auto wait = StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
  SERIAL_HANDFLOW h{SERIAL_CTS_HANDSHAKE, 0, 10, 10};
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_HANDFLOW, &h, sizeof h), STATUS_SUCCESS);
  SetTimeouts(0, 0, 0, 0, 60000);
  auto write = StartWrite(Bytes("held"));
  Device().ReceiveFromLine(Bytes("in"));
  machine().Settle();
  auto read = StartRead(5);
  ASSERT_FALSE(wait->Done());
  ASSERT_FALSE(write->Done());
  ASSERT_FALSE(read->Done());
  size_t controls = Device().ControlRequests().size();

  EXPECT_EQ(SendSystemRequest(IRP_MJ_CLEANUP, 0), STATUS_SUCCESS);
  machine().Settle();
  ASSERT_TRUE(wait->Done() && write->Done() && read->Done());
  EXPECT_EQ(wait->Status(), STATUS_CANCELLED);
  EXPECT_EQ(write->Status(), STATUS_CANCELLED);
  EXPECT_EQ(read->Status(), STATUS_CANCELLED);
  EXPECT_EQ(Device().ControlRequests().size(), controls) << "clean-up does not talk to the adapter";
  SERIAL_STATUS s{};
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &s, sizeof s), STATUS_SUCCESS);
  EXPECT_EQ(s.AmountInInQueue, 2u) << "nor does it empty the buffers";
  EXPECT_EQ(SendSystemRequest(IRP_MJ_CLEANUP, 0), STATUS_SUCCESS) << "with nothing outstanding it just succeeds";
}

// Another thread's request can reach the driver after the handle's clean-up. Pending, it would
// hold back the close, and the exclusive port could not be opened again until it ended.
TEST_F(CleanupInfo, ReadsWritesAndWaitsAfterCleanupAreCancelledAndAReopenedPortTakesThemAgain) {
  ULONG mask = SERIAL_EV_RING;
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask), STATUS_SUCCESS);
  SetTimeouts(0, 0, 0);
  EXPECT_EQ(SendSystemRequest(IRP_MJ_CLEANUP, 0), STATUS_SUCCESS);
  auto wait = StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
  auto read = StartRead(5);
  auto write = StartWrite(Bytes("late"));
  ASSERT_TRUE(wait->Done() && read->Done() && write->Done());
  EXPECT_EQ(wait->Status(), STATUS_CANCELLED);
  EXPECT_EQ(read->Status(), STATUS_CANCELLED);
  EXPECT_EQ(write->Status(), STATUS_CANCELLED);
  EXPECT_TRUE(Device().TakeTransmitted().empty());

  Close();
  Open();
  Device().ReceiveFromLine(Bytes("ok"));
  machine().Settle();
  SetTimeouts(MAXULONG, 0, 0);
  read = StartRead(2);
  ASSERT_TRUE(read->Done());
  EXPECT_EQ(read->Status(), STATUS_SUCCESS);
  write = StartWrite(Bytes("out"));
  machine().Settle();
  ASSERT_TRUE(write->Done());
  EXPECT_EQ(write->Status(), STATUS_SUCCESS);
}

TEST_F(CleanupInfo, FileInformationAnswersWithFixedValuesAndRefusesOtherClasses) {
  UCHAR info[64];
  std::memset(info, 0xEE, sizeof info);
  ULONG_PTR information = 0;
  EXPECT_EQ(QueryInfo(FileStandardInformation, info, sizeof(FILE_STANDARD_INFORMATION), &information),
            STATUS_SUCCESS);
  EXPECT_EQ(information, 24u);
  for (size_t i = 0; i < 24; ++i) EXPECT_EQ(info[i], 0) << i;
  std::memset(info, 0xEE, sizeof info);
  EXPECT_EQ(QueryInfo(FilePositionInformation, info, sizeof(FILE_POSITION_INFORMATION), &information),
            STATUS_SUCCESS);
  EXPECT_EQ(information, 8u);
  for (size_t i = 0; i < 8; ++i) EXPECT_EQ(info[i], 0) << i;
  EXPECT_EQ(QueryInfo(FileBasicInformation, info, 40, &information), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(information, 0u);

  EXPECT_EQ(SetInfo(FileEndOfFileInformation), STATUS_SUCCESS);
  EXPECT_EQ(SetInfo(FileAllocationInformation), STATUS_SUCCESS);
  EXPECT_EQ(SetInfo(FileDispositionInformation), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SetInfo(FileBasicInformation), STATUS_INVALID_PARAMETER);
}

TEST_F(CleanupInfo, OnADeviceThatIsNotReadyOnlyCleanupStillSucceeds) {
  ASSERT_EQ(pnp::SendPnp(Node(), IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
  FILE_STANDARD_INFORMATION standard{};
  ULONG_PTR information = 9;
  EXPECT_EQ(QueryInfo(FileStandardInformation, &standard, sizeof standard, &information), STATUS_DELETE_PENDING);
  EXPECT_EQ(information, 0u);
  EXPECT_EQ(SetInfo(FileEndOfFileInformation), STATUS_DELETE_PENDING);
  SERIAL_BASIC_SETTINGS basic{};
  EXPECT_EQ(Basic(&basic, sizeof basic), STATUS_DELETE_PENDING);
  EXPECT_EQ(KernelIoctl(IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, true, nullptr, 0), STATUS_DELETE_PENDING);
  EXPECT_FALSE(Ext()->BasicSettingsActive);
  EXPECT_EQ(SendSystemRequest(IRP_MJ_CLEANUP, 0), STATUS_SUCCESS);
  ASSERT_EQ(pnp::SendPnp(Node(), IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);

  // A closed port is not ready either: a kernel-mode caller that still holds the device
  // object is refused.
  Close();
  EXPECT_EQ(Basic(&basic, sizeof basic), STATUS_DELETE_PENDING);
  EXPECT_EQ(SendSystemRequest(IRP_MJ_CLEANUP, 0), STATUS_SUCCESS);
}

TEST_F(CleanupInfo, BasicSettingsNeedFortyFourBytesReturnThePreviousOnesAndTurnTheLinesOff) {
  SetTimeouts(10, 20, 30, 40, 50);
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_DTR, nullptr, 0), STATUS_SUCCESS);
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_RTS, nullptr, 0), STATUS_SUCCESS);
  Settings before = Read();
  ASSERT_TRUE(Device().Dtr() && Device().Rts());

  std::vector<UCHAR> out(64, 0xEE);
  ULONG_PTR information = 9;
  EXPECT_EQ(Basic(out.data(), 43, &information), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(information, 0u);
  EXPECT_TRUE(Read() == before);
  EXPECT_FALSE(Ext()->BasicSettingsActive);

  ASSERT_EQ(Basic(out.data(), 44, &information), STATUS_SUCCESS);
  EXPECT_EQ(information, 44u);
  SERIAL_BASIC_SETTINGS saved;
  std::memcpy(&saved, out.data(), sizeof saved);
  EXPECT_EQ(std::memcmp(&saved.Timeouts, &before.Timeouts, sizeof saved.Timeouts), 0);
  EXPECT_EQ(std::memcmp(&saved.HandFlow, &before.Handflow, sizeof saved.HandFlow), 0);
  EXPECT_EQ(saved.RxFifo, 0u);
  EXPECT_EQ(saved.TxFifo, 1u);
  EXPECT_TRUE(Ext()->BasicSettingsActive);

  Settings basic = Read();
  EXPECT_EQ(basic.Timeouts.ReadIntervalTimeout | basic.Timeouts.ReadTotalTimeoutMultiplier |
                basic.Timeouts.ReadTotalTimeoutConstant | basic.Timeouts.WriteTotalTimeoutMultiplier |
                basic.Timeouts.WriteTotalTimeoutConstant,
            0u);
  EXPECT_EQ(Ext()->ReadTimeoutMode, 0);
  EXPECT_EQ(basic.Handflow.ControlHandShake | basic.Handflow.FlowReplace, 0u);
  EXPECT_EQ(basic.Handflow.XonLimit, 0);
  EXPECT_EQ(basic.Handflow.XoffLimit, 0);
  EXPECT_EQ(basic.Baud.BaudRate, before.Baud.BaudRate) << "rate, line control and characters stay";
  EXPECT_EQ(basic.ModemWords, before.ModemWords + 2) << "one word for each line turned off";
  EXPECT_FALSE(Device().Dtr());
  EXPECT_FALSE(Device().Rts());

  EXPECT_EQ(Restore(&saved, 43), STATUS_BUFFER_TOO_SMALL);
  EXPECT_TRUE(Ext()->BasicSettingsActive);
  ASSERT_EQ(Restore(&saved, 44), STATUS_SUCCESS);
  EXPECT_FALSE(Ext()->BasicSettingsActive);
  Settings restored = Read();
  EXPECT_EQ(std::memcmp(&restored.Timeouts, &before.Timeouts, sizeof restored.Timeouts), 0);
  EXPECT_EQ(std::memcmp(&restored.Handflow, &before.Handflow, sizeof restored.Handflow), 0);
  EXPECT_EQ(Ext()->ReadTimeoutMode, 4);
  EXPECT_EQ(restored.ModemWords, before.ModemWords + 4) << "and the lines follow back on";
  EXPECT_TRUE(Device().Dtr());
  EXPECT_TRUE(Device().Rts());
}

TEST_F(CleanupInfo, ARestoreAppliesWhateverItIsGiven) {
  SERIAL_BASIC_SETTINGS odd{};
  odd.HandFlow.ControlHandShake = SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE;
  odd.HandFlow.FlowReplace = SERIAL_RTS_HANDSHAKE | SERIAL_AUTO_TRANSMIT;
  odd.HandFlow.XonLimit = 100;
  odd.HandFlow.XoffLimit = 100;
  odd.Timeouts = {MAXULONG, 0, 0, 0, 0};
  ASSERT_EQ(Restore(&odd, sizeof odd), STATUS_SUCCESS);
  SERIAL_HANDFLOW h{};
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &h, sizeof h), STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(&h, &odd.HandFlow, sizeof h), 0);
  EXPECT_EQ(Ext()->FlowFlags, 0x10 | 0x04 | 0x20 | 0x01) << "input DTR and RTS, output CTS and XON/XOFF";
  EXPECT_EQ(Ext()->ReadTimeoutMode, 1) << "interval MAXULONG with no totals returns at once";
}

TEST_F(CleanupInfo, WaitWakeCodesAreAcceptedAndOtherInternalCodesAreInvalidParameters) {
  EXPECT_EQ(KernelIoctl(IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, true, nullptr, 0), STATUS_SUCCESS);
  EXPECT_EQ(KernelIoctl(IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, true, nullptr, 0), STATUS_SUCCESS);
  EXPECT_EQ(KernelIoctl(CTL_CODE(FILE_DEVICE_SERIAL_PORT, 5, METHOD_BUFFERED, FILE_ANY_ACCESS), true, nullptr, 0),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(KernelIoctl(IOCTL_INTERNAL_USB_SUBMIT_URB, true, nullptr, 0), STATUS_INVALID_PARAMETER)
      << "nothing is passed down to the bus";
  // The same codes as ordinary device-control requests are the serial codes of those numbers.
  SERIAL_BAUD_RATE rate{19200};
  EXPECT_EQ(KernelIoctl(IOCTL_SERIAL_SET_BAUD_RATE, false, &rate, sizeof rate), STATUS_SUCCESS);
}

}  // namespace
}  // namespace hk::test
