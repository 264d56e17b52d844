// The guards a run passes before anything is sent: rules about the file the user chose that
// every front-end keeps alike. The command line refuses what a guard doubts unless --force is
// given; the windows put the guard's question to the user (Yes programs the file anyway).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "images/FlashRegion.h"

namespace orlo::run {

// A reason to doubt that a file belongs in the region it is about to be programmed into.
struct ImageDoubt {
    std::string question;  // the window's Yes/No question: "... Program it into the map region anyway?"
    std::string sentence;  // the command line's refusal: "v.adm is a voice image (.adm), not ..."
};

// One check of the guard: looks at the chosen file (its path and its first bytes, as many as
// kImageHeadBytes or the whole file when shorter) for the region it is meant for.
using ImageCheck = std::optional<ImageDoubt> (*)(const FlashRegion& target, const std::string& path,
                                                std::span<const uint8_t> head);
constexpr std::size_t kImageHeadBytes = 64;

// The checks in order (run/Guards.cpp lists them); the first that doubts the file decides.
// A file that cannot be read is left to the load, which says why.
std::optional<ImageDoubt> DoubtAboutImage(const FlashRegion& target, const std::string& path);

// The guard as the windows ask it (OrloEnvironment::imageQuestion): the question, or empty.
std::string ImageQuestion(const FlashRegion& target, const std::string& path);

// The region whose images carry the extension of `path` (in any letter case), if any. The
// extensions are the patterns of the regions' file dialogs.
std::optional<RegionId> RegionOfExtension(const std::string& path);

}  // namespace orlo::run
