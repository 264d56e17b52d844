// Fuzz target: any bytes through both bitmap converters. Besides the sanitizers' checks, a
// conversion either yields a well-formed header or refuses with a reason, never both.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "tools/BitmapConverter.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

void Convert(std::span<const uint8_t> file, const orlo::BitmapVariant& variant) {
    const std::string name = "fuzz";
    const orlo::BitmapConversion r = orlo::ConvertBitmapBytes(file, variant, name);
    if (r.ok) {
        const std::string decl = std::string(variant.declPrefix) + name + "[] = {\n";
        Check(r.text.starts_with(decl));
        Check(r.text.ends_with("};"));
        // At most the buffer's bytes, each "0x.." and a separator, plus the line ends.
        Check(r.text.size() <= decl.size() + variant.bufferSize * 6 + 2);
        Check(r.messages.size() <= 1);
        if (!r.messages.empty()) Check(r.messages[0] == variant.wrongBits);
        const std::string crlf = orlo::WithCrLf(r.text);
        for (std::size_t i = 0; i < crlf.size(); ++i) {
            if (crlf[i] == '\n') Check(i > 0 && crlf[i - 1] == '\r');
        }
    } else {
        Check(r.text.empty());
        Check(!r.messages.empty() && r.messages.size() <= 2);
        Check(r.messages.back() != variant.wrongBits);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::span<const uint8_t> file(data, size);
    for (const auto& variant : orlo::kBitmapVariants) Convert(file, variant);
    if (size > 0) Check(orlo::ReverseBits(orlo::ReverseBits(data[0])) == data[0]);
    return 0;
}
