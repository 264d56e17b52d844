#include "run/Guards.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <vector>

#include "images/ImageFormat.h"

namespace orlo::run {

namespace {

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

// File names are UTF-8 in this program, on every system.
std::filesystem::path PathOf(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// "a map image", "a user image", "an application image".
std::string AnImage(const std::string& word) {
    const bool an = !word.empty() && std::string_view("aeio").find(word[0]) != std::string_view::npos;
    return (an ? "an " : "a ") + word + " image";
}

// A file whose extension is another region's: a voice image chosen in the map region's dialog
// (whose pattern the user can overrule by typing a name).
std::optional<ImageDoubt> ForeignExtension(const FlashRegion& target, const std::string& path,
                                           std::span<const uint8_t>) {
    const auto belongs = RegionOfExtension(path);
    if (!belongs || *belongs == target.id) return std::nullopt;
    const FlashRegion& other = Region(*belongs);
    const std::string word = std::string(other.word);
    const std::string ext = PathOf(path).extension().string();
    return ImageDoubt{
        "This file has the extension of " + word + " data. Program it into the " +
            std::string(target.word) + " region anyway?",
        path + " is " + AnImage(word) + " (" + ext + "), not " + AnImage(std::string(target.word)) +
            " (" + std::string(target.extension) + ")"};
}

// A firmware container (Intel HEX, S-record, ELF) where raw bytes belong: the device would be
// programmed with its text or headers.
std::optional<ImageDoubt> ContainerFormat(const FlashRegion& target, const std::string& path,
                                          std::span<const uint8_t> head) {
    const auto format = DetectImageFormat(head.data(), head.size());
    if (!format) return std::nullopt;
    const std::string name = ImageFormatName(*format);
    return ImageDoubt{"This file looks like " + name + ", not raw bytes: the device would receive "
                          "its " + (*format == ImageFormat::Elf ? "headers" : "text") +
                          ". Program it into the " + std::string(target.word) + " region anyway?",
                      ImageFormatRefusal(path, *format)};
}

// Every check of the guard, in the order they are asked. A check of the file's contents takes
// its first bytes from `head`.
constexpr ImageCheck kImageChecks[] = {
    ForeignExtension,
    ContainerFormat,
};

}  // namespace

std::optional<RegionId> RegionOfExtension(const std::string& path) {
    const std::string ext = Lower(PathOf(path).extension().string());
    if (ext.empty()) return std::nullopt;
    for (const FlashRegion& region : kFlashRegions)
        if (region.extension == ext) return region.id;
    return std::nullopt;
}

std::optional<ImageDoubt> DoubtAboutImage(const FlashRegion& target, const std::string& path) {
    // Only a regular file is read: the open of a FIFO would wait for a writer for ever. What
    // is not one is the load's to refuse.
    std::vector<uint8_t> head;
    std::error_code ec;
    if (std::filesystem::is_regular_file(PathOf(path), ec)) {
        std::ifstream in(PathOf(path), std::ios::binary);
        head.resize(kImageHeadBytes);
        in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
        head.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    }
    for (ImageCheck check : kImageChecks)
        if (auto doubt = check(target, path, head)) return doubt;
    return std::nullopt;
}

std::string ImageQuestion(const FlashRegion& target, const std::string& path) {
    const auto doubt = DoubtAboutImage(target, path);
    return doubt ? doubt->question : std::string();
}

}  // namespace orlo::run
