// Conversions between the kernel's counted UTF-16 strings and the host's strings.
#pragma once
#include <hostddk/ddk.h>

#include <string>

namespace hk::rtl {

std::u16string ToU16(PCUNICODE_STRING s);
std::u16string ToU16(PCWSTR s);  // up to the terminating zero
std::u16string FromAscii(const std::string& s);
std::string ToAscii(const std::u16string& s);
std::u16string Upper(const std::u16string& s);
size_t Length(PCWSTR s);

}  // namespace hk::rtl
