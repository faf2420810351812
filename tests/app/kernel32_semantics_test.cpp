// The application API behaves as kernel32 does where tests depend on it: a successful call
// leaves the last error alone, the transferred count is zeroed before anything is checked, byte
// offsets go down as NtReadFile and NtWriteFile pass them, and CloseHandle has sent the close
// when it returns unless a request still holds the file.
#include "comm_port.h"

namespace hk::test {
namespace {

using namespace win32;

class Kernel32 : public CommPortTest {};

TEST_F(Kernel32, SuccessLeavesTheLastErrorAlone) {
  char buffer[4] = {};
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetLastError(4321);
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(Handle(), "abcd", 4, &done, &ov) || GetLastError() == ERROR_IO_PENDING);
  SetLastError(4321);
  ASSERT_TRUE(GetOverlappedResult(Handle(), &ov, &done, TRUE));
  EXPECT_EQ(GetLastError(), 4321u);
  machine().Settle();
  ASSERT_TRUE(ReadFile(Handle(), buffer, 4, &done, &ov) || GetLastError() == ERROR_IO_PENDING);
  SetLastError(4321);
  ASSERT_TRUE(GetOverlappedResult(Handle(), &ov, &done, TRUE));
  EXPECT_EQ(GetLastError(), 4321u);
  DCB dcb{};
  SetLastError(4321);
  ASSERT_TRUE(GetCommState(Handle(), &dcb));
  EXPECT_EQ(GetLastError(), 4321u);
  SetLastError(4321);
  ASSERT_TRUE(CancelIo(Handle()));
  EXPECT_EQ(GetLastError(), 4321u);
  CloseHandle(ov.hEvent);
}

TEST_F(Kernel32, TransferredIsZeroedBeforeAnythingIsChecked) {
  char buffer[4] = {};
  DWORD done = 77;
  // An overlapped handle without an OVERLAPPED.
  EXPECT_FALSE(ReadFile(Handle(), buffer, 4, &done, nullptr));
  EXPECT_EQ(done, 0u);
  done = 77;
  EXPECT_FALSE(WriteFile(Handle(), buffer, 4, &done, nullptr));
  EXPECT_EQ(done, 0u);
  done = 77;
  EXPECT_FALSE(DeviceIoControl(Handle(), IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, buffer, 4, &done, nullptr));
  EXPECT_EQ(done, 0u);
  done = 77;
  EXPECT_FALSE(ReadFile((HANDLE)(intptr_t)0x7777, buffer, 4, &done, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(done, 0u);
}

TEST_F(Kernel32, ByteOffsetsAreCheckedAndCarriedDown) {
  struct Case {
    DWORD Low, High;
    bool Accepted;
    LONGLONG Carried;
  };
  const Case cases[] = {
      {0, 0, true, 0},
      {1000, 2, true, (2LL << 32) + 1000},
      {0xFFFFFFFF, 0xFFFFFFFF, true, -1},  // FILE_WRITE_TO_END_OF_FILE
      {0xFFFFFFFE, 0xFFFFFFFF, true, 0},   // FILE_USE_FILE_POINTER_POSITION: the file's position
      {0xFFFFFFFD, 0xFFFFFFFF, false, 0},
      {0, 0x80000000, false, 0},
      {5, 0xFFFFFFFF, false, 0},
  };
  Offsets();
  for (const Case& c : cases) {
    for (bool write : {true, false}) {
      SCOPED_TRACE(std::to_string(c.Low) + "/" + std::to_string(c.High) + (write ? " write" : " read"));
      OVERLAPPED ov{};
      ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      ov.Offset = c.Low;
      ov.OffsetHigh = c.High;
      char buffer[1] = {'z'};
      DWORD done = 0;
      BOOL ok = write ? WriteFile(Handle(), buffer, 1, nullptr, &ov) : ReadFile(Handle(), buffer, 1, nullptr, &ov);
      if (!c.Accepted) {
        EXPECT_FALSE(ok);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        EXPECT_TRUE(Offsets().empty()) << "nothing reaches the driver";
      } else {
        EXPECT_TRUE(ok || GetLastError() == ERROR_IO_PENDING);
        EXPECT_TRUE(GetOverlappedResult(Handle(), &ov, &done, TRUE));
        EXPECT_EQ(Offsets(), std::vector<LONGLONG>{c.Carried});
      }
      CloseHandle(ov.hEvent);
      machine().Settle();
    }
  }
}

TEST_F(Kernel32, CloseHandleHasSentTheCloseWhenNoRequestHoldsTheFile) {
  // A reopen right after a request was seen done and the handle closed must find the port
  // closed: the completion stops counting the request before anyone can see it done.
  for (int round = 0; round < 200; ++round) {
    OVERLAPPED rov{};
    rov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED wov{};
    wov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char buffer[8];
    DWORD done = 0;
    ASSERT_FALSE(ReadFile(Handle(), buffer, sizeof buffer, nullptr, &rov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    // Completed on the reader thread when the looped-back characters arrive.
    ASSERT_TRUE(WriteFile(Handle(), "12345678", 8, nullptr, &wov) || GetLastError() == ERROR_IO_PENDING);
    ASSERT_TRUE(GetOverlappedResult(Handle(), &wov, &done, TRUE));
    ASSERT_EQ(WaitForSingleObject(rov.hEvent, INFINITE), WAIT_OBJECT_0);
    CloseHandle(rov.hEvent);
    CloseHandle(wov.hEvent);
    ASSERT_TRUE(CloseHandle(Handle()));
    ASSERT_EQ(OpenFileCount(), 0) << "round " << round;
    ASSERT_FALSE(Ext()->DeviceOpen) << "round " << round;
    Close();  // forgets the handle; it is closed already
    Open();
    ASSERT_NE(Handle(), INVALID_HANDLE_VALUE) << "round " << round;
  }
}

}  // namespace
}  // namespace hk::test
