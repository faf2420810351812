// Character-wise comparison, the INF base-name cut and bounded composition, in single-byte
// and double-byte code pages.
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "bounded_text.h"
#include "fake_platform.h"
#include "mbcs_text.h"

namespace brevel::testing {
namespace {

struct SingleByte : CodePage {
    bool IsLeadByte(unsigned char) const override { return false; }
};

// Lead bytes of code page 932 (Shift-JIS); trail bytes may be any of 0x40..0xFC.
struct ShiftJis : CodePage {
    bool IsLeadByte(unsigned char byte) const override {
        return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
    }
};

// A copy on the heap with no spare byte, so that reading past the terminator is caught by
// the address sanitizer.
std::unique_ptr<char[]> Exact(const std::string& text) {
    std::unique_ptr<char[]> copy(new char[text.size() + 1]);
    std::memcpy(copy.get(), text.c_str(), text.size() + 1);
    return copy;
}

TEST(SameText, IsExactAndCaseSensitive) {
    SingleByte cp;
    EXPECT_TRUE(SameText(cp, "USB\\Vid_7A3C&Pid_0003", "USB\\Vid_7A3C&Pid_0003"));
    EXPECT_FALSE(SameText(cp, "usb\\vid_7a3c&pid_0003", "USB\\Vid_7A3C&Pid_0003"));
    EXPECT_FALSE(SameText(cp, "USB\\Vid_7A3C&Pid_000", "USB\\Vid_7A3C&Pid_0003"));
    EXPECT_FALSE(SameText(cp, "USB\\Vid_7A3C&Pid_00031", "USB\\Vid_7A3C&Pid_0003"));
    EXPECT_TRUE(SameText(cp, "", ""));
    EXPECT_FALSE(SameText(cp, "", "A"));
}

TEST(SameText, TakesADoubleByteCharacterAsOneUnit) {
    ShiftJis cp;
    // 0x81 0x5C is one character whose second byte looks like a backslash.
    EXPECT_TRUE(SameText(cp, "USB\x81\x5CVid", "USB\x81\x5CVid"));
    EXPECT_FALSE(SameText(cp, "USB\x81\x5CVid", "USB\x82\x5CVid"));
    EXPECT_FALSE(SameText(cp, "USB\x81\x5CVid", "USB\\Vid"));
}

TEST(SameText, StopsAtALeadByteThatEndsTheString) {
    ShiftJis cp;
    auto a = Exact("ID\x81");
    auto b = Exact("ID\x81");
    EXPECT_EQ(CharacterLength(cp, a.get() + 2), 1u);
    EXPECT_TRUE(SameText(cp, a.get(), b.get()));
    auto c = Exact("ID\x81X");
    EXPECT_FALSE(SameText(cp, a.get(), c.get()));
}

TEST(LengthBeforeFirstDot, CutsAtTheFirstDot) {
    SingleByte cp;
    EXPECT_EQ(LengthBeforeFirstDot(cp, "oem12.inf"), 5u);
    EXPECT_EQ(LengthBeforeFirstDot(cp, "oem12.inf.bak"), 5u);
    EXPECT_EQ(LengthBeforeFirstDot(cp, "oem12"), 5u);
    EXPECT_EQ(LengthBeforeFirstDot(cp, ".inf"), 0u);
    EXPECT_EQ(LengthBeforeFirstDot(cp, ""), 0u);
}

TEST(LengthBeforeFirstDot, SkipsADotThatIsTheSecondByteOfACharacter) {
    // 0x81 0x2E is not valid Shift-JIS, but the rule is the code page's, not the byte's.
    struct AnyTrail : CodePage {
        bool IsLeadByte(unsigned char byte) const override { return byte == 0x81; }
    } cp;
    EXPECT_EQ(LengthBeforeFirstDot(cp, "\x81.x.inf"), 3u);
    EXPECT_EQ(LengthBeforeFirstDot(SingleByte(), "\x81.x.inf"), 1u);
    auto lone = Exact("ab\x81");
    EXPECT_EQ(LengthBeforeFirstDot(cp, lone.get()), 3u);
}

TEST(BoundedText, AppendsWhatFits) {
    SingleByte cp;
    char buffer[16];
    BoundedText text(cp, buffer, sizeof buffer);
    EXPECT_TRUE(text.Append("abc"));
    EXPECT_TRUE(text.Append("defgh", 2));
    EXPECT_STREQ(text.c_str(), "abcde");
    EXPECT_EQ(text.length(), 5u);
}

TEST(BoundedText, CutsAtTheLastByteAndNeverWritesPastTheBuffer) {
    SingleByte cp;
    char storage[260 + 8];
    std::memset(storage, '#', sizeof storage);
    BoundedText text(cp, storage, 260);
    EXPECT_TRUE(text.Append(std::string(259, 'a').c_str()));
    EXPECT_FALSE(text.Append("b"));
    EXPECT_EQ(text.length(), 259u);
    EXPECT_EQ(std::strlen(storage), 259u);
    for (std::size_t i = 260; i < sizeof storage; ++i) EXPECT_EQ(storage[i], '#');
    // Once cut, nothing more is added, even what would fit.
    EXPECT_FALSE(text.Append(""));
}

TEST(BoundedText, LeavesOutADoubleByteCharacterThatWouldBeSplit) {
    ShiftJis cp;
    char buffer[5];
    BoundedText text(cp, buffer, sizeof buffer);
    EXPECT_FALSE(text.Append("abc\x82\xA0"));
    EXPECT_STREQ(buffer, "abc");
}

TEST(BoundedText, TakesALeadByteAtTheLengthLimitAlone) {
    ShiftJis cp;
    char buffer[8];
    BoundedText text(cp, buffer, sizeof buffer);
    EXPECT_TRUE(text.Append("ab\x82\xA0", 3));
    EXPECT_STREQ(buffer, "ab\x82");
}

}  // namespace
}  // namespace brevel::testing
