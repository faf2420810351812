#include "bounded_text.h"

#include <cstring>

#include "mbcs_text.h"

namespace brevel {

BoundedText::BoundedText(const CodePage& code_page, char* buffer, std::size_t capacity)
    : code_page_(code_page), buffer_(buffer), capacity_(capacity) {
    buffer_[0] = '\0';
}

bool BoundedText::Append(const char* text) { return Append(text, std::strlen(text)); }

bool BoundedText::Append(const char* text, std::size_t length) {
    if (cut_) return false;
    std::size_t taken = 0;
    while (taken < length && text[taken] != '\0') {
        std::size_t step = CharacterLength(code_page_, text + taken);
        if (taken + step > length) step = 1;  // a lead byte at the limit stands alone
        if (length_ + step > capacity_ - 1) {
            cut_ = true;
            break;
        }
        std::memcpy(buffer_ + length_, text + taken, step);
        length_ += step;
        taken += step;
    }
    buffer_[length_] = '\0';
    return !cut_;
}

}  // namespace brevel
