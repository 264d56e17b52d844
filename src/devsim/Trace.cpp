#include "devsim/Trace.h"

#include <cstdio>

#include "protocol/Protocol.h"

namespace orlo::devsim {

namespace {

constexpr std::size_t kTailBytes = 8;  // bytes shown after ".." in a shortened unit

void AppendHex(std::string& s, uint8_t b) {
    static const char kDigits[] = "0123456789ABCDEF";
    s += ' ';
    s += kDigits[b >> 4];
    s += kDigits[b & 0x0F];
}

}  // namespace

std::string FormatTrace(Direction dir, const std::vector<uint8_t>& bytes, std::size_t maxBytes) {
    std::string s = dir == Direction::ToDevice ? "in " : "out";
    const std::size_t n = bytes.size();
    if (maxBytes == 0 || n <= maxBytes || maxBytes <= kTailBytes) {
        for (uint8_t b : bytes) AppendHex(s, b);
    } else {
        for (std::size_t i = 0; i < maxBytes - kTailBytes; ++i) AppendHex(s, bytes[i]);
        s += " ..";
        for (std::size_t i = n - kTailBytes; i < n; ++i) AppendHex(s, bytes[i]);
        s += " (" + std::to_string(n) + " bytes)";
    }
    if (n > 0 && bytes[0] != FRAME_START) {
        s += "  \"";
        for (uint8_t b : bytes) {
            if (b == '\r') {
                s += "\\r";
            } else if (b == '\n') {
                s += "\\n";
            } else if (b < 0x20 || b == 0x7F || b == '"' || b == '\\') {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\x%02X", b);
                s += esc;
            } else {
                s += static_cast<char>(b);
            }
        }
        s += '"';
    }
    return s;
}

}  // namespace orlo::devsim
