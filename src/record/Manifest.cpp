#include "record/Manifest.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <system_error>

#include "record/Sha256.h"
#include "app/OutputFile.h"

namespace orlo::record {

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// A manifest is a few hundred bytes; anything this large is some other file.
constexpr std::uintmax_t kMaxManifestBytes = 1024 * 1024;

std::string Utf8(const std::u8string& text) {
    return std::string(text.begin(), text.end());
}

bool IsHexDigest(std::string& text) {
    if (text.size() != 64) return false;
    for (char& c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return true;
}

// The parser's own text without its "[json.exception.parse_error.101] " tag.
std::string ParseProblem(const std::exception& e) {
    std::string text = e.what();
    const auto tag = text.find("] ");
    return tag == std::string::npos ? text : text.substr(tag + 2);
}

// Why `file` (the resolved path of an image) cannot be programmed, or empty.
std::string FileProblem(const fs::path& file) {
    std::error_code ec;
    const fs::file_status status = fs::status(file, ec);
    if (status.type() == fs::file_type::not_found) return "it does not exist";
    if (ec) return "it cannot be looked at (" + ec.message() + ")";
    if (fs::is_directory(status)) return "it is a directory";
    if (!fs::is_regular_file(status)) return "it is not a regular file";
    return {};
}

}  // namespace

ManifestLoad LoadManifest(const std::string& path) {
    ManifestLoad load;
    const std::string prefix = "manifest " + path + ": ";
    auto refuse = [&](const std::string& why) {
        load.error = prefix + why;
        return load;
    };

    const fs::path manifestPath = Utf8Path(path);
    if (const std::string problem = FileProblem(manifestPath); !problem.empty())
        return refuse(problem);
    std::error_code ec;
    if (fs::file_size(manifestPath, ec) > kMaxManifestBytes)
        return refuse("it is larger than 1 MiB, too large to be a manifest");
    std::ifstream in(manifestPath, std::ios::binary);
    std::string text;
    char chunk[4096];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0)
        text.append(chunk, static_cast<std::size_t>(in.gcount()));
    if (!in.eof() || in.bad()) return refuse("it cannot be read");

    json doc;
    try {
        doc = json::parse(text);
    } catch (const json::parse_error& e) {
        return refuse("it is not JSON (" + ParseProblem(e) + ")");
    }
    if (!doc.is_object()) return refuse("it is not a JSON object");
    const auto schema = doc.find("schema");
    if (schema == doc.end() || !schema->is_number_integer())
        return refuse("it has no \"schema\" number, so it is not a manifest");
    if (schema->get<long long>() != kManifestSchema)
        return refuse("it has schema " + schema->dump() + "; this orlo reads schema " +
                      std::to_string(kManifestSchema));
    const auto name = doc.find("name");
    if (name == doc.end() || !name->is_string() || name->get<std::string>().empty())
        return refuse("it has no \"name\" text");
    const auto images = doc.find("images");
    if (images == doc.end() || !images->is_array() || images->empty())
        return refuse("it lists no \"images\"");

    Bundle bundle;
    bundle.manifestName = name->get<std::string>();
    bundle.manifestPath = path;
    bundle.manifestSha256 = Sha256Hex(text);
    const fs::path folder = manifestPath.parent_path();
    for (std::size_t i = 0; i < images->size(); ++i) {
        const json& entry = (*images)[i];
        const std::string which = "image " + std::to_string(i + 1);
        if (!entry.is_object()) return refuse(which + " is not a JSON object");
        const auto region = entry.find("region");
        const auto file = entry.find("file");
        const auto sha = entry.find("sha256");
        if (region == entry.end() || !region->is_string())
            return refuse(which + " has no \"region\" text");
        const auto id = RegionOfWord(region->get<std::string>());
        if (!id)
            return refuse(which + " names the region \"" + region->get<std::string>() +
                          "\", which is not one of voice, map, user and application");
        const std::string word(Region(*id).word);
        if (file == entry.end() || !file->is_string() || file->get<std::string>().empty())
            return refuse("the " + word + " image has no \"file\" text");
        std::string digest = sha != entry.end() && sha->is_string() ? sha->get<std::string>() : "";
        if (!IsHexDigest(digest))
            return refuse("the " + word + " image has no \"sha256\" of 64 hex digits");
        const fs::path relative = Utf8Path(file->get<std::string>());
        if (relative.has_root_path())
            return refuse("the " + word + " image's file " + file->get<std::string>() +
                          " is not relative to the manifest's folder");
        bundle.images.push_back({*id, Utf8((folder / relative).lexically_normal().u8string()), digest});
    }
    if (const std::string twice = OrderBundle(bundle.images); !twice.empty()) return refuse(twice);

    // Every file is there and is the one pinned, or nothing is programmed.
    for (const BundleImage& image : bundle.images) {
        const std::string word(Region(image.region).word);
        if (const std::string problem = FileProblem(Utf8Path(image.path)); !problem.empty())
            return refuse("the " + word + " image " + image.path + " cannot be used: " + problem);
        const auto actual = FileSha256(image.path);
        if (!actual)
            return refuse("the " + word + " image " + image.path + " cannot be read");
        if (*actual != image.sha256)
            return refuse("the " + word + " image " + image.path + " has SHA-256 " + *actual +
                          ", not the pinned " + image.sha256 +
                          ": the file is not the one the manifest was written for");
    }
    load.bundle = std::move(bundle);
    return load;
}

std::optional<std::string> ManifestDocument(const Bundle& bundle, const std::string& name,
                                            const std::string& path, std::string* error) {
    std::error_code ec;
    const fs::path folder = fs::absolute(Utf8Path(path), ec).parent_path();
    nlohmann::ordered_json images = nlohmann::ordered_json::array();
    for (const BundleImage& image : bundle.images) {
        const fs::path file = fs::absolute(Utf8Path(image.path), ec);
        const fs::path relative = file.lexically_normal().lexically_relative(folder.lexically_normal());
        if (ec || relative.empty()) {
            *error = image.path + " cannot be named relative to the folder of " + path;
            return std::nullopt;
        }
        images.push_back({{"region", std::string(Region(image.region).word)},
                          {"file", Utf8(relative.generic_u8string())},
                          {"sha256", image.sha256}});
    }
    nlohmann::ordered_json doc = {{"schema", kManifestSchema}, {"name", name}, {"images", images}};
    return doc.dump(2) + "\n";
}

std::string WriteManifest(Bundle bundle, const std::string& name, const std::string& path) {
    if (const std::string twice = OrderBundle(bundle.images); !twice.empty()) return twice;
    for (const BundleImage& image : bundle.images)
        if (const std::string problem = FileProblem(Utf8Path(image.path)); !problem.empty())
            return "cannot read " + image.path + ": " + problem;
    if (const std::string problem = HashImages(bundle); !problem.empty()) return problem;
    if (const std::string refusal = OutputRefusal(path); !refusal.empty())
        return "cannot write " + path + ": " + refusal;
    std::string error;
    const auto document = ManifestDocument(bundle, name, path, &error);
    if (!document) return error;
    if (!WriteWholeFile(path, *document)) return "cannot write " + path;
    return {};
}

}  // namespace orlo::record
