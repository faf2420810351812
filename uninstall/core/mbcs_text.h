// Text helpers that step through a string one character at a time in the active multibyte
// code page, the way CharNextA does: a lead byte and the byte after it are one character,
// unless that next byte is the terminator.
#pragma once

#include <cstddef>

#include "platform.h"

namespace brevel {

// Bytes in the character that starts at text: 0 at the terminator, else 1 or 2.
std::size_t CharacterLength(const CodePage& code_page, const char* text);

// Exact, case-sensitive equality, character by character.
bool SameText(const CodePage& code_page, const char* a, const char* b);

// Bytes before the first "." that is a character of its own (not the second byte of a
// double-byte character); the whole length when there is none.
std::size_t LengthBeforeFirstDot(const CodePage& code_page, const char* text);

}  // namespace brevel
