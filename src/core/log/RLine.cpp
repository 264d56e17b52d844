#include "log/RLine.h"

#include <cctype>

namespace orlo {

bool IsNumberReport(const uint8_t* line, std::size_t len) {
    std::size_t end = len;
    while (end > 0 && (line[end - 1] == '\r' || line[end - 1] == '\n')) --end;
    if (end < 3 || line[0] != 'R') return false;
    const uint8_t separator = line[1];
    if (std::isalnum(separator) || separator == '\r' || separator == '\n') return false;
    bool digit = false;
    for (std::size_t i = 2; i < end; ++i) {
        const uint8_t c = line[i];
        const bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
        if (!hex && c != ',' && c != ' ' && c != '\r' && c != '\n') return false;
        digit = digit || hex;
    }
    return digit;
}

std::string RewriteRLine(const uint8_t* line, std::size_t len) {
    std::string out;
    // Unsigned so that overflow wraps modulo 2^32; shown as the signed value of those 32 bits.
    uint32_t t = 0;
    for (std::size_t i = 2; i < len; ++i) {
        const uint8_t c = line[i];
        if (c == ',') {
            out += std::to_string(static_cast<int32_t>(t));
            out += ',';
            t = 0;
        } else if (c == '\r' || c == '\n') {
            out += static_cast<char>(c);
        } else if (c == ' ') {
            continue;
        } else if (c <= '9') {
            t = t * 16 + static_cast<uint32_t>(c - 48);
        } else {
            t = t * 16 + static_cast<uint32_t>(c - 55);
        }
    }
    return out;
}

std::string LogFileText(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 2);
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

}  // namespace orlo
