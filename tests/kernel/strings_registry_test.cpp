// Edge behaviour of the Rtl string routines and of registry value queries that drivers rely on.
#include "registry/registry.h"
#include "verified_test.h"

namespace hk::test {
namespace {

class StringsAndRegistry : public MachineTest {};

TEST_F(StringsAndRegistry, IntegerTextMustFitWithItsTerminatingZero) {
  WCHAR buffer[3];
  UNICODE_STRING s{0, sizeof buffer, buffer};
  EXPECT_EQ(RtlIntegerToUnicodeString(42, 10, &s), STATUS_SUCCESS);
  EXPECT_EQ(s.Length, 4);
  EXPECT_EQ(buffer[0], u'4');
  EXPECT_EQ(buffer[2], 0);
  EXPECT_EQ(RtlIntegerToUnicodeString(123, 10, &s), STATUS_BUFFER_OVERFLOW);
}

TEST_F(StringsAndRegistry, AppendThatDoesNotFitChangesNothing) {
  WCHAR buffer[4] = {u'a', 0, 0, 0};
  UNICODE_STRING s{2, sizeof buffer, buffer};
  const char16_t tooLong[] = u"bcde";
  EXPECT_EQ(RtlAppendUnicodeToString(&s, (PCWSTR)tooLong), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(s.Length, 2);
  const char16_t fits[] = u"bcd";
  EXPECT_EQ(RtlAppendUnicodeToString(&s, (PCWSTR)fits), STATUS_SUCCESS);
  EXPECT_EQ(s.Length, 8) << "a text that exactly fills the buffer gets no terminating zero";
}

TEST_F(StringsAndRegistry, PartialValueQueryReportsTheSizeItNeeds) {
  const std::u16string key = u"\\Registry\\Machine\\Test";
  registry::SetString(key, u"Name", u"COM7");
  HANDLE h = registry::OpenKey(key, false);
  ASSERT_NE(h, nullptr);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, (PCWSTR)u"Name");
  ULONG size = 0;
  EXPECT_EQ(ZwQueryValueKey(h, &name, KeyValuePartialInformation, nullptr, 0, &size), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 12u + 10u);
  alignas(8) UCHAR small[16];
  EXPECT_EQ(ZwQueryValueKey(h, &name, KeyValuePartialInformation, small, sizeof small, &size),
            STATUS_BUFFER_OVERFLOW);
  alignas(8) UCHAR full[32];
  EXPECT_EQ(ZwQueryValueKey(h, &name, KeyValuePartialInformation, full, sizeof full, &size), STATUS_SUCCESS);
  auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(full);
  EXPECT_EQ(info->Type, (ULONG)REG_SZ);
  EXPECT_EQ(info->DataLength, 10u);
  RtlInitUnicodeString(&name, (PCWSTR)u"Missing");
  EXPECT_EQ(ZwQueryValueKey(h, &name, KeyValuePartialInformation, nullptr, 0, &size), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(h), STATUS_INVALID_HANDLE);
  ExpectFinding("handle");
}

}  // namespace
}  // namespace hk::test
