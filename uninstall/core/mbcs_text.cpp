#include "mbcs_text.h"

#include <cstring>

namespace brevel {

std::size_t CharacterLength(const CodePage& code_page, const char* text) {
    if (text[0] == '\0') return 0;
    if (code_page.IsLeadByte(static_cast<unsigned char>(text[0])) && text[1] != '\0') return 2;
    return 1;
}

bool SameText(const CodePage& code_page, const char* a, const char* b) {
    for (;;) {
        const std::size_t length_a = CharacterLength(code_page, a);
        const std::size_t length_b = CharacterLength(code_page, b);
        if (length_a != length_b || std::memcmp(a, b, length_a) != 0) return false;
        if (length_a == 0) return true;
        a += length_a;
        b += length_b;
    }
}

std::size_t LengthBeforeFirstDot(const CodePage& code_page, const char* text) {
    const char* at = text;
    for (std::size_t length; (length = CharacterLength(code_page, at)) != 0; at += length) {
        if (*at == '.') break;  // a double-byte character is stepped over whole
    }
    return static_cast<std::size_t>(at - text);
}

}  // namespace brevel
