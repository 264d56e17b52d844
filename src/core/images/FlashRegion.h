// The four flash regions of the device: one constant table, nothing configurable.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace orlo {

enum class RegionId { Application, Voice, Map, User };

struct FlashRegion {
    RegionId id;
    std::string_view name;        // "Application", "Voice", "Map", "User"
    uint32_t base;                // first flash address
    uint32_t maxSize;             // bytes; also the length a read-back covers
    uint8_t family;               // command family (high nibble of the region's commands)
    std::string_view openFilter;  // open-dialog filter, handed over unchanged
    std::string_view tooBig;      // message for a file above maxSize
    int programButton;            // control id of the Program button
    bool buttonVisible;           // the Program button is shown in the main layout
};

// In table order: Application, Voice, Map, User.
extern const std::array<FlashRegion, 4> kFlashRegions;

const FlashRegion& Region(RegionId id);

}  // namespace orlo
