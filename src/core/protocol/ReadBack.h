// Read-back of whole regions and the application check block.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "images/FlashRegion.h"

namespace orlo {

struct ReadBackRow {
    RegionId region;            // base and length come from the region table
    int button;                 // control id of the (hidden) Read button
    uint8_t readCommand;        // region family + CMD_READ
    std::string_view defExt;    // save dialog: default-extension argument
    std::string_view initName;  // save dialog: initial file name
    std::string_view filter;    // save dialog: filter (code page 949 bytes for the Korean word)
    std::string_view done;      // completion message
    std::string_view verified;  // completion message of a comparison with an image
};

// In table order: Application, Voice, Map, User.
extern const std::array<ReadBackRow, 4> kReadBackRows;

const ReadBackRow& ReadBackRowFor(RegionId id);

// The completion message of a read-back that wrote `path`: the row's text, then the file,
// "Reading completed of User Data: /home/tech/user.dat".
std::string ReadCompletedMessage(const ReadBackRow& row, const std::string& path);

}  // namespace orlo
