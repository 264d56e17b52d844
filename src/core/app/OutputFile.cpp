#include "app/OutputFile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace orlo {

namespace fs = std::filesystem;

namespace {

constexpr int kMaxLinkHops = 40;  // as many links as the system follows in one path

std::string Text(const fs::path& p) {
    const std::u8string text = p.u8string();
    return std::string(text.begin(), text.end());
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

#ifdef _WIN32

// The errno of a failed exclusive create, so the sentence says what the system said: a folder
// that is not there is not a refused permission.
int ErrnoOfCreate(DWORD code) {
    switch (code) {
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_PATH_NOT_FOUND:
        case ERROR_FILE_NOT_FOUND:
            return ENOENT;
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
            return EINVAL;
        default:
            return EACCES;
    }
}

std::wstring Wide(const std::string& utf8) {
    return Utf8Path(utf8).wstring();
}

class Handle {
  public:
    explicit Handle(HANDLE h) : m_h(h) {}
    ~Handle() {
        if (ok()) CloseHandle(m_h);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool ok() const { return m_h != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return m_h; }

  private:
    HANDLE m_h;
};

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens the file itself, never what a link or junction points to.
HANDLE OpenExisting(const std::string& path, DWORD access) {
    return CreateFileW(Wide(path).c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// The identity of an open disk file; unknown for anything else (a console, a pipe, a port).
FileIdentity IdentityOf(HANDLE h) {
    FileIdentity id;
    if (GetFileType(h) != FILE_TYPE_DISK) return id;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info)) return id;
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
        return id;
    id.device = info.dwVolumeSerialNumber;
    id.inode = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    id.known = true;
    return id;
}

bool IsOwn(HANDLE h, const OwnFile& file) {
    const FileIdentity id = IdentityOf(h);
    return id.known && file.id.known && id == file.id;
}

#else

FileIdentity IdentityOf(const struct stat& st) {
    FileIdentity id;
    id.device = static_cast<uint64_t>(st.st_dev);
    id.inode = static_cast<uint64_t>(st.st_ino);
    id.known = true;
    return id;
}

// The path names `file` (not followed if it is a link) and that is a regular file.
bool StillOwn(const OwnFile& file, struct stat* st) {
    if (!file.id.known || file.path.empty()) return false;
    if (::lstat(file.path.c_str(), st) != 0) return false;
    return S_ISREG(st->st_mode) && IdentityOf(*st) == file.id;
}

// Opens `file` for `flags` only while it is still that regular file, and checks the opened
// file again (the path could change between the look and the open). -1 otherwise.
int OpenOwn(const OwnFile& file, int flags) {
    struct stat st {};
    if (!StillOwn(file, &st)) return -1;
    const int fd = ::open(file.path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || IdentityOf(st) != file.id) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool WriteAll(int fd, const void* data, std::size_t count) {
    const char* p = static_cast<const char*>(data);
    while (count > 0) {
        const ssize_t n = ::write(fd, p, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

// The kernel does not follow a link that sits in a sticky folder everyone may write to (such
// as /tmp) when the link belongs to someone other than the follower and the folder's owner:
// another user could have put it there to make us write where they may not. We resolve
// links ourselves, so we keep the same rule.
std::string LinkRefusal(const fs::path& link, const struct stat& linkStat) {
    const fs::path folder = link.has_parent_path() ? link.parent_path() : fs::path(".");
    struct stat dir {};
    if (::stat(Text(folder).c_str(), &dir) != 0) return {};
    const bool shared = (dir.st_mode & S_ISVTX) && (dir.st_mode & S_IWOTH);
    if (!shared || linkStat.st_uid == ::geteuid() || linkStat.st_uid == dir.st_uid) return {};
    return "it is a symbolic link of another user in " + Text(folder) +
           ", a shared folder: such a link is not followed, it could lead to any file";
}

#endif

// Follows the links at the end of `path` one by one, as the system would; stops at a link
// that must not be followed (its sentence in `refusal`).
fs::path Resolve(const fs::path& path, std::string* refusal) {
    fs::path p = path;
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
#ifdef _WIN32
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(p, ec))) return p;
        const fs::path to = fs::read_symlink(p, ec);
        if (ec) return p;
#else
        struct stat st {};
        if (::lstat(Text(p).c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
        if (std::string why = LinkRefusal(p, st); !why.empty()) {
            if (refusal) *refusal = why;
            return p;
        }
        std::error_code ec;
        const fs::path to = fs::read_symlink(p, ec);
        if (ec) return p;
#endif
        p = to.is_absolute() ? to : (p.has_parent_path() ? p.parent_path() / to : to);
        p = p.lexically_normal();
    }
    if (refusal) *refusal = "it leads through too many symbolic links";
    return p;
}

}  // namespace

fs::path Utf8Path(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::FILE* OpenUtf8(const std::string& path, const char* mode) {
#ifdef _WIN32
    const std::wstring wideMode(mode, mode + std::strlen(mode));
    return _wfopen(Wide(path).c_str(), wideMode.c_str());
#else
    return std::fopen(path.c_str(), mode);
#endif
}

bool IsWindowsDeviceName(const std::string& path) {
    // The device namespace: \\.\NUL, \\.\COM1, \\?\GLOBALROOT\Device\..., also with slashes.
    if (path.size() >= 4 && (path[0] == '\\' || path[0] == '/') &&
        (path[1] == '\\' || path[1] == '/') && (path[2] == '.' || path[2] == '?') &&
        (path[3] == '\\' || path[3] == '/')) {
        // \\?\C:\long\path is an ordinary file name written without the length limit.
        const std::string rest = path.substr(4);
        const bool drivePath = rest.size() >= 3 && std::isalpha(static_cast<unsigned char>(rest[0])) &&
                               rest[1] == ':' && (rest[2] == '\\' || rest[2] == '/');
        const bool uncPath = Lower(rest.substr(0, 4)) == "unc\\";
        if (path[2] == '.' || !(drivePath || uncPath)) return true;
    }
    const std::size_t slash = path.find_last_of("\\/");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.size() >= 2 && name[1] == ':' && slash == std::string::npos) name = name.substr(2);
    // The system ignores an extension, blanks and dots after a device name, and a colon.
    name = name.substr(0, name.find_first_of(".:"));
    while (!name.empty() && name.back() == ' ') name.pop_back();
    name = Lower(name);
    static const char* const kNames[] = {"con", "prn", "aux", "nul", "conin$", "conout$"};
    for (const char* n : kNames)
        if (name == n) return true;
    return name.size() == 4 && (name.starts_with("com") || name.starts_with("lpt")) &&
           name[3] >= '0' && name[3] <= '9';
}

std::string OutputRefusal(const std::string& path) {
#ifdef _WIN32
    if (IsWindowsDeviceName(path)) return "it is a device of Windows, not a file";
#endif
    std::string refusal;
    const fs::path real = Resolve(Utf8Path(path), &refusal);
    if (!refusal.empty()) return refusal;
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(real, ec);
    // A link whose target is missing would be created through: that is writing a file.
    if (status.type() == fs::file_type::not_found) return {};
    if (ec) return "its type cannot be read";
    if (fs::is_directory(status)) return "it is a directory";
    if (!fs::is_regular_file(status)) return "it is not a regular file";
#ifdef _WIN32
    // What the file system calls a file may still be a device behind a name: ask the handle.
    Handle h(OpenExisting(Text(real), FILE_READ_ATTRIBUTES));
    if (h.ok() && GetFileType(h.get()) != FILE_TYPE_DISK) return "it is not a regular file";
#endif
    return {};
}

std::string ResolvedOutput(const std::string& path) {
    return Text(Resolve(Utf8Path(path), nullptr));
}

std::optional<OwnFile> CreateExclusive(const std::string& path, const std::string& like,
                                       int* error) {
    if (error) *error = 0;
#ifdef _WIN32
    (void)like;
    if (IsWindowsDeviceName(path)) {
        if (error) *error = EINVAL;
        return std::nullopt;
    }
    // CREATE_NEW never opens an existing file, and it does not follow a link in its place.
    Handle h(CreateFileW(Wide(path).c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.ok()) {
        if (error) *error = ErrnoOfCreate(GetLastError());
        return std::nullopt;
    }
    OwnFile file{path, IdentityOf(h.get())};
    if (!file.id.known) {
        if (error) *error = EINVAL;
        return std::nullopt;
    }
    return file;
#else
    struct stat old {};
    const bool hasLike = !like.empty() && ::stat(like.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    const mode_t mode = hasLike ? (old.st_mode & 0777) : 0666;
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
        if (error) *error = errno;
        return std::nullopt;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (ok && hasLike) {
        // The new file is as private as the one it stands beside: the umask does not widen
        // or narrow that, and (as root) it belongs to whoever owns that file.
        if (old.st_uid != st.st_uid || old.st_gid != st.st_gid) {
            if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
                // Not ours to give away: the new file stays ours, no wider than the old one.
            }
        }
        if (::fchmod(fd, old.st_mode & 0777) != 0) ok = false;
    }
    ::close(fd);
    if (!ok) {
        if (error) *error = errno;
        ::unlink(path.c_str());
        return std::nullopt;
    }
    return OwnFile{path, IdentityOf(st)};
#endif
}

std::optional<OwnFile> CreateBeside(const std::string& target, const std::string& suffix) {
    constexpr int kMaxTries = 1000;
    for (int n = 1; n <= kMaxTries; ++n) {
        const std::string name = target + suffix + (n == 1 ? "" : "-" + std::to_string(n));
        int error = 0;
        if (auto file = CreateExclusive(name, target, &error)) return file;
        if (error != EEXIST) return std::nullopt;
    }
    return std::nullopt;
}

bool AppendOwned(const OwnFile& file, const void* data, std::size_t count) {
#ifdef _WIN32
    Handle h(OpenExisting(file.path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES));
    if (!h.ok() || !IsOwn(h.get(), file)) return false;
    const char* p = static_cast<const char*>(data);
    while (count > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(count, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(h.get(), p, chunk, &written, nullptr) || written == 0) return false;
        p += written;
        count -= written;
    }
    return true;
#else
    const int fd = OpenOwn(file, O_WRONLY | O_APPEND);
    if (fd < 0) return false;
    const bool written = WriteAll(fd, data, count);
    const bool closed = ::close(fd) == 0;
    return written && closed;
#endif
}

std::optional<uint64_t> OwnedSize(const OwnFile& file) {
#ifdef _WIN32
    Handle h(OpenExisting(file.path, FILE_READ_ATTRIBUTES));
    LARGE_INTEGER size{};
    if (!h.ok() || !IsOwn(h.get(), file) || !GetFileSizeEx(h.get(), &size)) return std::nullopt;
    return static_cast<uint64_t>(size.QuadPart);
#else
    struct stat st {};
    if (!StillOwn(file, &st)) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
#endif
}

bool RemoveOwned(const OwnFile& file) {
#ifdef _WIN32
    // Deleted through the handle that was checked: no other file can take its place between.
    Handle h(OpenExisting(file.path, DELETE | FILE_READ_ATTRIBUTES));
    if (!h.ok() || !IsOwn(h.get(), file)) return false;
    FILE_DISPOSITION_INFO dispose{};
    dispose.DeleteFile = TRUE;
    return SetFileInformationByHandle(h.get(), FileDispositionInfo, &dispose, sizeof dispose) != 0;
#else
    struct stat st {};
    if (!StillOwn(file, &st)) return false;
    return ::unlink(file.path.c_str()) == 0;
#endif
}

bool ReplaceWith(const OwnFile& fresh, const std::string& target, std::string* why) {
    auto fail = [why](std::string text) {
        if (why) *why = std::move(text);
        return false;
    };
#ifdef _WIN32
    if (IsWindowsDeviceName(target)) return fail("it is a device of Windows, not a file");
    Handle h(OpenExisting(fresh.path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES));
    if (!h.ok() || !IsOwn(h.get(), fresh))
        return fail(fresh.path + " is no longer the file that was written");
    {
        Handle old(OpenExisting(target, FILE_READ_ATTRIBUTES));
        if (old.ok() && !IdentityOf(old.get()).known) return fail("it is not a regular file");
    }
    // Renamed through the checked handle; the old file's security settings stay with its name
    // only in the sense Windows gives them: the folder's inherited ones.
    const std::wstring to = Utf8Path(target).wstring();
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + (to.size() + 1) * sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = TRUE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(to.size() * sizeof(wchar_t));
    std::memcpy(info->FileName, to.c_str(), (to.size() + 1) * sizeof(wchar_t));
    if (!SetFileInformationByHandle(h.get(), FileRenameInfo, info,
                                    static_cast<DWORD>(buffer.size())))
        return fail(std::system_category().message(static_cast<int>(GetLastError())));
    return true;
#else
    const int fd = OpenOwn(fresh, O_RDONLY);
    if (fd < 0) return fail(fresh.path + " is no longer the file that was written");
    struct stat mine {};
    struct stat old {};
    bool ok = ::fstat(fd, &mine) == 0;
    if (::lstat(target.c_str(), &old) == 0) {
        if (!S_ISREG(old.st_mode)) {
            ::close(fd);
            return fail("it is not a regular file");
        }
        // The user chose who owns the old file and who may read it; the new one keeps that.
        if (ok && (old.st_uid != mine.st_uid || old.st_gid != mine.st_gid) &&
            ::fchown(fd, old.st_uid, old.st_gid) != 0) {
            const int err = errno;
            ::close(fd);
            return fail("its owner and group cannot be kept (" + std::generic_category().message(err) +
                        ")");
        }
        if (ok && ::fchmod(fd, old.st_mode & 07777) != 0) {
            const int err = errno;
            ::close(fd);
            return fail("its permissions cannot be kept (" + std::generic_category().message(err) +
                        ")");
        }
    } else if (errno != ENOENT) {
        const int err = errno;
        ::close(fd);
        return fail(std::generic_category().message(err));
    }
    // On the disk before its name takes the old file's place: a crash leaves one or the other.
    ok = ok && ::fsync(fd) == 0;
    ::close(fd);
    struct stat st {};
    if (!ok || !StillOwn(fresh, &st)) return fail(fresh.path + " is no longer the file that was written");
    if (::rename(fresh.path.c_str(), target.c_str()) != 0)
        return fail(std::generic_category().message(errno));
    return true;
#endif
}

std::optional<OwnFile> OpenEmptied(const std::string& path, std::string* why) {
    auto fail = [why](std::string text) -> std::optional<OwnFile> {
        if (why) *why = std::move(text);
        return std::nullopt;
    };
    if (std::string refusal = OutputRefusal(path); !refusal.empty()) return fail(refusal);
    const std::string real = ResolvedOutput(path);
#ifdef _WIN32
    {
        Handle h(OpenExisting(real, GENERIC_WRITE | FILE_READ_ATTRIBUTES));
        if (h.ok()) {
            OwnFile file{real, IdentityOf(h.get())};
            if (!file.id.known) return fail("it is not a regular file");
            if (!SetEndOfFile(h.get())) return fail("it cannot be emptied");
            return file;
        }
    }
#else
    struct stat st {};
    if (::lstat(real.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) return fail("it is not a regular file");
        const OwnFile seen{real, IdentityOf(st)};
        const int fd = OpenOwn(seen, O_WRONLY);
        if (fd < 0) return fail(std::generic_category().message(errno ? errno : EACCES));
        const bool emptied = ::ftruncate(fd, 0) == 0;
        ::close(fd);
        if (!emptied) return fail("it cannot be emptied");
        return seen;
    }
#endif
    int error = 0;
    if (auto file = CreateExclusive(real, std::string(), &error)) return file;
    return fail(std::generic_category().message(error ? error : EACCES));
}

bool WriteWholeFile(const std::string& target, const std::string& bytes, std::string* why) {
    if (std::string refusal = OutputRefusal(target); !refusal.empty()) {
        if (why) *why = refusal;
        return false;
    }
    const std::string real = ResolvedOutput(target);
    const std::optional<OwnFile> fresh = CreateBeside(real, ".new");
    if (!fresh) {
        if (why) *why = "no new file can be made beside it";
        return false;
    }
    std::string problem;
    if (!AppendOwned(*fresh, bytes.data(), bytes.size())) problem = "it cannot be written whole";
    if (problem.empty() && ReplaceWith(*fresh, real, &problem)) return true;
    RemoveOwned(*fresh);
    if (why) *why = problem;
    return false;
}

}  // namespace orlo
