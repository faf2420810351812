// The Rtl counted-string routines the driver uses, with their documented edge behaviour.
#include "strings.h"

#include <cstring>

#include "../kernel/pool.h"
#include "../kernel/verifier.h"

namespace hk::rtl {

size_t Length(PCWSTR s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

std::u16string ToU16(PCUNICODE_STRING s) {
  if (!s || !s->Buffer) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / 2);
}

std::u16string ToU16(PCWSTR s) {
  if (!s) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(s), Length(s));
}

std::u16string FromAscii(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::string ToAscii(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out += c < 128 ? (char)c : '?';
  return out;
}

std::u16string Upper(const std::u16string& s) {
  std::u16string out = s;
  for (auto& c : out)
    if (c >= u'a' && c <= u'z') c = (char16_t)(c - 32);
  return out;
}

}  // namespace hk::rtl

using namespace hk;

extern "C" {

void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  if (SourceString) {
    size_t bytes = rtl::Length(SourceString) * sizeof(WCHAR);
    DestinationString->Length = (USHORT)bytes;
    DestinationString->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
  } else {
    DestinationString->Length = DestinationString->MaximumLength = 0;
  }
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (!SourceString || !SourceString->Buffer) {
    DestinationString->Length = 0;
    return;
  }
  USHORT bytes = SourceString->Length;
  if (bytes > DestinationString->MaximumLength) bytes = DestinationString->MaximumLength;
  std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength)
    DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (!Source) return STATUS_SUCCESS;
  size_t bytes = rtl::Length(Source) * sizeof(WCHAR);
  if (Destination->Length + bytes > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  std::memmove((char*)Destination->Buffer + Destination->Length, Source, bytes);
  Destination->Length = (USHORT)(Destination->Length + bytes);
  if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
    Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  if (!Source || Source->Length == 0) return STATUS_SUCCESS;
  if (Destination->Length + Source->Length > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  std::memmove((char*)Destination->Buffer + Destination->Length, Source->Buffer, Source->Length);
  Destination->Length = (USHORT)(Destination->Length + Source->Length);
  if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
    Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
  if (Base == 0) Base = 10;
  if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
  char digits[33];
  int n = 0;
  do {
    ULONG d = Value % Base;
    digits[n++] = (char)(d < 10 ? '0' + d : 'A' + d - 10);
    Value /= Base;
  } while (Value);
  // The text and its terminating zero must fit.
  if ((n + 1) * sizeof(WCHAR) > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (int i = 0; i < n; ++i) String->Buffer[i] = (WCHAR)digits[n - 1 - i];
  String->Buffer[n] = 0;
  String->Length = (USHORT)(n * sizeof(WCHAR));
  return STATUS_SUCCESS;
}

void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer) ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive) {
  std::u16string a = rtl::ToU16(String1), b = rtl::ToU16(String2);
  if (CaseInSensitive) {
    a = rtl::Upper(a);
    b = rtl::Upper(b);
  }
  return a.compare(b);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive) {
  return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

}  // extern "C"
