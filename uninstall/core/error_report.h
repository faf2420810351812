// Tells the user which step failed and why, in one message box.
#pragma once

#include "platform.h"

namespace brevel {

// Reports the platform's last error under step_label as "<label> FAILURE: <system text>", or
// "<label> FAILURE: 0x<code>" when the system has no text for it, cut to the 260-byte error
// text buffer. Leaves the last error as it found it, so the caller's later tests of it see the
// failure that was reported and not whatever the message box left behind.
void ReportFailure(Platform& platform, const char* step_label);

// Composes the text ReportFailure shows (system_text null: the code in hexadecimal).
void ComposeFailureText(const CodePage& code_page, const char* step_label,
                        const char* system_text, Dword code, char* buffer,
                        std::size_t buffer_size);

}  // namespace brevel
