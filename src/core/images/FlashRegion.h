// The four flash regions of the device: one constant table, nothing configurable.
#pragma once

#include <array>
#include <optional>
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
    std::string_view word;        // "application", ...: the region on the command line, in
                                  // manifests and in the run records
    std::string_view extension;   // ".bin", ".adm", ".map", ".dat": its open filter's pattern
};

// In table order: Application, Voice, Map, User.
extern const std::array<FlashRegion, 4> kFlashRegions;

const FlashRegion& Region(RegionId id);
// The region a word names ("voice", in any letter case); nullopt for any other word.
std::optional<RegionId> RegionOfWord(std::string_view word);

}  // namespace orlo
