// Firmware containers are told from raw images by their first bytes.
#include "images/ImageFormat.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace orlo {
namespace {

TEST(ImageFormat, ContainersAreToldFromRawBytesByTheirFirstBytes) {
    struct Case {
        std::string head;
        std::optional<ImageFormat> format;
    };
    const Case cases[] = {
        {":10000000214601360121470136007EFE09D2190140\r\n", ImageFormat::IntelHex},
        {":020000040800F2\n:10000000", ImageFormat::IntelHex},
        {":00000001FF", ImageFormat::IntelHex},
        {"S00600004844521B\r\nS1130000", ImageFormat::SRecord},
        {"S30D08000000FFFFFFFF", ImageFormat::SRecord},
        {std::string("\x7F" "ELF\x01\x01\x01\0", 8), ImageFormat::Elf},
        // Raw images that merely begin like one.
        {":1000000G21", std::nullopt},           // not hexadecimal
        {":10000009214601", std::nullopt},       // no such record type
        {std::string(":10000000\x01\x02", 11), std::nullopt},
        {"S4130000", std::nullopt},              // reserved record type
        {"Some text", std::nullopt},
        {std::string("\x7F" "EL", 3), std::nullopt},
        {std::string(16, '\xFF'), std::nullopt},  // erased flash
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DetectImageFormat(reinterpret_cast<const uint8_t*>(c.head.data()), c.head.size()),
                  c.format)
            << c.head;
    }
    EXPECT_EQ(ImageFormatRefusal("fw.hex", ImageFormat::IntelHex),
              "fw.hex is an Intel HEX file, not a raw image: the device would receive its text as "
              "flash contents. Convert it to raw bytes (a .bin) first");
}

}  // namespace
}  // namespace orlo
