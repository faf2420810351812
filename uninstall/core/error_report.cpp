#include "error_report.h"

#include <cstdio>

#include "bounded_text.h"
#include "messages.h"

namespace brevel {

void ComposeFailureText(const CodePage& code_page, const char* step_label,
                        const char* system_text, Dword code, char* buffer,
                        std::size_t buffer_size) {
    BoundedText text(code_page, buffer, buffer_size);
    text.Append(step_label);
    text.Append(kFailureSeparator);
    if (system_text != nullptr) {
        text.Append(system_text);
    } else {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08x", static_cast<unsigned>(code));
        text.Append(hex);
    }
}

void ReportFailure(Platform& platform, const char* step_label) {
    const Dword code = platform.LastError();
    char* system_text = nullptr;
    if (platform.SystemMessageText(code, &system_text) == 0 || system_text == nullptr) {
        platform.Free(system_text);
        system_text = nullptr;
    }
    char text[kErrorTextSize];
    ComposeFailureText(platform, step_label, system_text, code, text, sizeof text);
    platform.ShowMessage(text, kErrorCaption, kErrorStyle);
    platform.Free(system_text);
    platform.SetLastErrorCode(code);
}

}  // namespace brevel
