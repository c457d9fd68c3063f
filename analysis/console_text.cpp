#include "console_text.h"

#include <cstdio>

namespace murel::analysis {

std::string console_text(std::string_view text, bool keep_newlines) {
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 0x20 && byte != 0x7F) || (keep_newlines && c == '\n')) {
            shown += c;
            continue;
        }
        char escape[5];
        std::snprintf(escape, sizeof escape, "\\x%02X", byte);
        shown += escape;
    }
    return shown;
}

}  // namespace murel::analysis
