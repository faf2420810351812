// Builds a terminated string in a fixed buffer without ever writing past it. What does not
// fit is cut at a character boundary, so a double-byte character is never split in half.
#pragma once

#include <cstddef>

#include "platform.h"

namespace brevel {

class BoundedText {
public:
    // buffer holds capacity bytes (at least 1), the terminator included.
    BoundedText(const CodePage& code_page, char* buffer, std::size_t capacity);

    // Appends text, or at most length bytes of it. Returns false if anything was cut off;
    // the buffer then holds what fitted and later appends add nothing.
    bool Append(const char* text);
    bool Append(const char* text, std::size_t length);

    const char* c_str() const { return buffer_; }
    std::size_t length() const { return length_; }

private:
    const CodePage& code_page_;
    char* buffer_;
    std::size_t capacity_;
    std::size_t length_ = 0;
    bool cut_ = false;
};

}  // namespace brevel
