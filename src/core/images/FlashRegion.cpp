#include "images/FlashRegion.h"

#include <cctype>

#include "app/Resource.h"
#include "protocol/Protocol.h"

namespace orlo {

// Regions lie back to back: Voice, Map, User, Application; the check block follows Application.
const std::array<FlashRegion, 4> kFlashRegions = {{
    {RegionId::Application, "Application", 0x3C3000, 241664, CMD_FAMILY_APPLICATION,
     "bin file(*.bin), bin file(*.bin)|*.bin;*.bin", "Application program is too BIG!!!",
     IDC_PROGRAM_APPLICATION, true, "application", ".bin"},
    {RegionId::Voice, "Voice", 0x000000, 2048000, CMD_FAMILY_VOICE,
     "adm file(*.adm), adm file(*.adm)|*.adm;*.adm", "Voice data is too BIG!!!",
     IDC_PROGRAM_VOICE, true, "voice", ".adm"},
    {RegionId::Map, "Map", 0x1F4000, 1892352, CMD_FAMILY_MAP,
     "map file(*.map), map file(*.map)|*.map;*.map", "Map data is too BIG!!!", IDC_PROGRAM_MAP,
     true, "map", ".map"},
    // The user region shows the map region's too-big text.
    {RegionId::User, "User", 0x3C2000, 4096, CMD_FAMILY_USER,
     "dat file(*.dat), dat file(*.dat)|*.dat;*.dat", "Map data is too BIG!!!", IDC_PROGRAM_USER,
     false, "user", ".dat"},
}};

static_assert(0x000000 + 2048000 == 0x1F4000, "map follows voice");
static_assert(0x1F4000 + 1892352 == 0x3C2000, "user follows map");
static_assert(0x3C2000 + 4096 == 0x3C3000, "application follows user");
static_assert(0x3C3000 + 241664 == CHECK_BLOCK_ADDRESS, "check block follows application");

const FlashRegion& Region(RegionId id) {
    for (const auto& r : kFlashRegions)
        if (r.id == id) return r;
    return kFlashRegions[0];
}

std::optional<RegionId> RegionOfWord(std::string_view word) {
    for (const auto& r : kFlashRegions) {
        if (r.word.size() != word.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < word.size() && same; ++i)
            same = std::tolower(static_cast<unsigned char>(word[i])) == r.word[i];
        if (same) return r.id;
    }
    return std::nullopt;
}

}  // namespace orlo
