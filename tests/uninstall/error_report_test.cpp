// The error message: its two forms, the length limit and what it leaves behind.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "error_report.h"
#include "fake_platform.h"

namespace brevel::testing {
namespace {

TEST(ReportFailure, ShowsTheSystemTextUnderTheStepLabel) {
    FakePlatform machine;
    machine.system_texts[5] = "Access is denied.\r\n";
    machine.last_error = 5;
    ReportFailure(machine, "GetClassDevs)");
    ASSERT_EQ(machine.messages.size(), 1u);
    EXPECT_EQ(machine.messages[0].text, "GetClassDevs) FAILURE: Access is denied.\r\n");
    EXPECT_EQ(machine.messages[0].caption, "Brevel Uninstall Error");
    EXPECT_EQ(machine.messages[0].style, 0x10u);
}

TEST(ReportFailure, ShowsTheCodeInHexWhenTheSystemHasNoText) {
    FakePlatform machine;
    machine.last_error = 0xE000020B;
    ReportFailure(machine, "CallClassInstaller(REMOVE)");
    ASSERT_EQ(machine.messages.size(), 1u);
    EXPECT_EQ(machine.messages[0].text, "CallClassInstaller(REMOVE) FAILURE: 0xe000020b");
    machine.messages.clear();
    machine.last_error = 13;
    ReportFailure(machine, "EnumDeviceInfo");
    EXPECT_EQ(machine.messages[0].text, "EnumDeviceInfo FAILURE: 0x0000000d");
}

TEST(ReportFailure, LeavesTheReportedCodeAsLastErrorAndFreesTheText) {
    FakePlatform machine;
    machine.system_texts[87] = "The parameter is incorrect.\r\n";
    machine.last_error = 87;
    ReportFailure(machine, "EnumDeviceInfo");
    EXPECT_EQ(machine.LastError(), 87u);  // not what the message box left behind
    EXPECT_EQ(machine.outstanding_allocations(), 0u);
}

TEST(ReportFailure, CutsATooLongTextToTheBuffer) {
    FakePlatform machine;
    machine.system_texts[1] = std::string(400, 'x');
    machine.last_error = 1;
    ReportFailure(machine, "GetDeviceRegistryProperty");
    ASSERT_EQ(machine.messages.size(), 1u);
    const std::string& text = machine.messages[0].text;
    EXPECT_EQ(text.size(), 259u);
    EXPECT_EQ(text.rfind("GetDeviceRegistryProperty FAILURE: xxx", 0), 0u);
    EXPECT_EQ(machine.outstanding_allocations(), 0u);
}

TEST(ComposeFailureText, DoesNotSplitADoubleByteCharacterAtTheCut) {
    struct ShiftJis : CodePage {
        bool IsLeadByte(unsigned char byte) const override { return byte >= 0x81 && byte <= 0x9F; }
    } cp;
    // "LB FAILURE: " is 12 bytes; 123 double-byte characters take it to 258 bytes, and the
    // 124th would need the 259th byte and the terminator's place.
    std::string system_text;
    for (int i = 0; i < 130; ++i) system_text += "\x82\xA0";
    char buffer[260 + 4];
    std::memset(buffer, '#', sizeof buffer);
    ComposeFailureText(cp, "LB", system_text.c_str(), 0, buffer, 260);
    EXPECT_EQ(std::strlen(buffer), 12u + 246u);
    EXPECT_EQ(buffer[263], '#');
}

}  // namespace
}  // namespace brevel::testing
