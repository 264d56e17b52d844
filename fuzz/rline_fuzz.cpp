// Fuzz target: any device line through the R-line rewrite and the log file's line ends.
//
// RewriteRLine is compared with a second, plainly written account of the rule: from byte [2] on,
// a comma emits the number collected so far (signed 32 bits, wrapping) and a comma, CR and LF
// are kept, blanks vanish, '0'..'9' and every other byte count as hexadecimal digits by the
// rule in RLine.h. LogFileText must turn every LF into CR LF and change nothing else.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "log/RLine.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

std::string Reference(const uint8_t* line, std::size_t len) {
    std::string out;
    uint64_t value = 0;  // kept modulo 2^32 below
    for (std::size_t i = 2; i < len; ++i) {
        const int c = line[i];
        if (c == ',') {
            const uint32_t bits = static_cast<uint32_t>(value);
            const int64_t shown = bits >= 0x80000000u ? static_cast<int64_t>(bits) - 0x100000000LL
                                                      : static_cast<int64_t>(bits);
            out += std::to_string(shown) + ",";
            value = 0;
        } else if (c == '\r' || c == '\n') {
            out += static_cast<char>(c);
        } else if (c != ' ') {
            const int digit = c <= '9' ? c - '0' : c - 55;  // may be negative: wraps
            value = (value * 16 + static_cast<uint64_t>(static_cast<int64_t>(digit))) & 0xFFFFFFFFu;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string rewritten = orlo::RewriteRLine(data, size);
    Check(rewritten == Reference(data, size));
    for (char c : rewritten)
        Check((c >= '0' && c <= '9') || c == '-' || c == ',' || c == '\r' || c == '\n');

    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string stored = orlo::LogFileText(text);
    std::size_t lf = 0;
    std::string back;
    for (std::size_t i = 0; i < stored.size(); ++i) {
        if (stored[i] == '\n') {
            ++lf;
            Check(i > 0 && stored[i - 1] == '\r');
            back.pop_back();  // the CR put in front of it
        }
        back += stored[i];
    }
    Check(back == text);
    Check(stored.size() == size + lf);
    return 0;
}
