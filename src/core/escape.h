#pragma once

#include <string>
#include <string_view>

namespace kesta {

// Appends `text` in double quotes, escaping `"`, `\`, tab, CR, LF, NUL with a backslash and
// every other control character (U+0001-U+001F, U+007F, U+0080-U+009F) as \u{hex}, and so
// are the characters that viewers show as line breaks or use to reorder text (U+061C, U+200E,
// U+200F, U+2028-U+202E, U+2066-U+2069).
void append_quoted(std::string& out, std::string_view text);
std::string quoted(std::string_view text);

// Makes a client-supplied text safe for a log line: backslashes doubled, control characters
// escaped as in append_quoted, double quotes left as they are. No client can forge a line.
std::string escape_log_text(std::string_view text);

}  // namespace kesta
