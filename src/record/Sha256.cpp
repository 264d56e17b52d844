#include "record/Sha256.h"

namespace orlo::record {

std::string DigestHex(const unsigned char* digest) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text(64, '0');
    for (int i = 0; i < 32; ++i) {
        text[2 * i] = kDigits[digest[i] >> 4];
        text[2 * i + 1] = kDigits[digest[i] & 0xF];
    }
    return text;
}

}  // namespace orlo::record
