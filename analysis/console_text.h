// Text from files (channel and file names, messages quoting them) made safe to print on a terminal.
#pragma once

#include <string>
#include <string_view>

namespace murel::analysis {

/// `text` with every control character (bytes below 0x20 and 0x7F) written as \xNN, so that a
/// name read from a file cannot drive the terminal; with `keep_newlines`, line breaks stay.
std::string console_text(std::string_view text, bool keep_newlines = false);

}  // namespace murel::analysis
