#include "app/OutputFile.h"

#include <cstdio>
#include <system_error>

namespace orlo {

namespace fs = std::filesystem;

fs::path Utf8Path(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string OutputRefusal(const std::string& path) {
    std::error_code ec;
    const fs::file_status status = fs::status(Utf8Path(path), ec);  // follows links
    if (status.type() == fs::file_type::not_found) {
        // A link whose target is missing would be created through: that is writing a file.
        return {};
    }
    if (ec) return "its type cannot be read";
    if (fs::is_directory(status)) return "it is a directory";
    if (!fs::is_regular_file(status)) return "it is not a regular file";
    return {};
}

std::string ResolvedOutput(const std::string& path) {
    std::error_code ec;
    const fs::path p = Utf8Path(path);
    if (!fs::is_symlink(fs::symlink_status(p, ec))) return path;
    const fs::path real = fs::weakly_canonical(p, ec);
    if (ec) return path;
    const std::u8string text = real.u8string();
    return std::string(text.begin(), text.end());
}

std::string FreeNameBeside(const std::string& path, const std::string& suffix) {
    constexpr int kMaxTries = 1000;
    for (int n = 1; n <= kMaxTries; ++n) {
        const std::string name = path + suffix + (n == 1 ? "" : "-" + std::to_string(n));
        std::error_code ec;
        // symlink_status: a dangling link counts as taken as well.
        if (fs::symlink_status(Utf8Path(name), ec).type() == fs::file_type::not_found)
            return name;
    }
    return {};
}

bool CopyPermissions(const std::string& from, const std::string& to) {
    std::error_code ec;
    const fs::file_status old = fs::status(Utf8Path(from), ec);
    if (!fs::exists(old)) return true;
    fs::permissions(Utf8Path(to), old.permissions(), fs::perm_options::replace, ec);
    return !ec;
}

bool ReplaceFile(const std::string& fresh, const std::string& target, std::string* why) {
    std::error_code ec;
    const fs::path to = Utf8Path(target);
    // The user chose who may read the old file; the new one keeps that choice.
    if (!CopyPermissions(target, fresh)) {
        if (why) *why = "its permissions cannot be carried over";
        return false;
    }
    fs::rename(Utf8Path(fresh), to, ec);
    if (ec) {
        if (why) *why = ec.message();
        return false;
    }
    return true;
}

bool WriteWholeFile(const std::string& target, const std::string& bytes) {
    const std::string real = ResolvedOutput(target);
    const std::string fresh = FreeNameBeside(real, ".new");
    if (fresh.empty()) return false;
    std::FILE* f = std::fopen(fresh.c_str(), "wb");
    if (!f) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    const bool closed = std::fclose(f) == 0;
    std::error_code ec;
    if (!written || !closed || !ReplaceFile(fresh, real, nullptr)) {
        fs::remove(Utf8Path(fresh), ec);
        return false;
    }
    return true;
}

}  // namespace orlo
