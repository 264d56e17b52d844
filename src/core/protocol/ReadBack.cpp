#include "protocol/ReadBack.h"

#include "app/Resource.h"

namespace orlo {

// The Korean word in the filters means "all files".
const std::array<ReadBackRow, 4> kReadBackRows = {{
    {RegionId::Application, IDC_READ_APPLICATION, 0x1A, "bin file", "*.bin",
     "bin File(*.bin) | *.bin | 모든파일(*.*) | *.*|", "Reading completed of Application data",
     "Verify completed of Application data"},
    {RegionId::Voice, IDC_READ_VOICE, 0x2A, "adm file", "*.adm",
     "adm File(*.adm) | *.adm | 모든파일(*.*) | *.*|", "Reading completed of Voice data",
     "Verify completed of Voice data"},
    {RegionId::Map, IDC_READ_MAP, 0x3A, "Map file", "*.map",
     "map File(*.map) | *.map | 모든파일(*.*) | *.*|", "Reading completed of Map data",
     "Verify completed of Map data"},
    {RegionId::User, IDC_READ_USER, 0x4A, "Data file", "*.dat",
     "Data File(*.dat) | *.dat | 모든파일(*.*) | *.*|", "Reading completed of User Data",
     "Verify completed of User data"},
}};

const ReadBackRow& ReadBackRowFor(RegionId id) {
    for (const auto& r : kReadBackRows)
        if (r.region == id) return r;
    return kReadBackRows[0];
}

namespace {
constexpr std::string_view kFileSeparator = ": ";
}

std::string ReadCompletedMessage(const ReadBackRow& row, const std::string& path) {
    return std::string(row.done) + std::string(kFileSeparator) + path;
}

}  // namespace orlo
