// Files the dialog writes for the user (read-back files, the log file, converter headers) and
// the files it reads by a UTF-8 name. Three promises keep what the user and the system own
// safe, whoever runs the program (root included):
//  - only regular files (or links to one) are written: a pipe would hold the user-interface
//    thread in its open for ever, a device node would receive the data, and on Windows a
//    device name (NUL, CON, COM1, \\.\...) is refused however it is spelled;
//  - a file that already exists is replaced only by a complete new one, written beside it
//    and renamed into its place at the end, with the old file's owner, group and permissions;
//  - the program removes, renames or appends to only a file it created (or emptied) itself,
//    known by its identity (device and inode), and only while the path still names that
//    regular file; a new file is created exclusively and never through a link, and another
//    user's link in a shared sticky folder is not followed (as the kernel's own rule for
//    such links would refuse it). An error while looking at a file keeps the file.
// This is the one file of the core that calls the operating system's file functions (POSIX or
// Win32): the standard library cannot name a file by its identity or create one without
// following a link. Paths are UTF-8 text, as everywhere in the dialog.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

namespace orlo {

// The path of a UTF-8 file name, read the same on every system.
std::filesystem::path Utf8Path(const std::string& utf8);

// fopen of a UTF-8 file name (the wide function on Windows, where fopen takes a code page).
std::FILE* OpenUtf8(const std::string& path, const char* mode);

// Which file a path names: device and inode (on Windows: volume serial and file index).
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool known = false;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// A file this program created (or emptied) itself: its path and who it is.
struct OwnFile {
    std::string path;
    FileIdentity id;
};

// True when the last part of `path` is a Windows device name (CON, PRN, AUX, NUL, COM0..COM9,
// LPT0..LPT9, CONIN$, CONOUT$, in any letter case, with or without an extension or trailing
// blanks and dots) or the path is in the device namespace (\\.\NUL, \\?\GLOBALROOT\...).
// Pure, so it is tested on every system; only Windows refuses these names.
bool IsWindowsDeviceName(const std::string& path);

// Empty when `path` may be written: it does not exist, or it is (or links to) a regular file.
// Otherwise why not, as the end of a sentence ("it is not a regular file").
std::string OutputRefusal(const std::string& path);

// The file that writing to `path` really changes: the target of a link (followed link by link
// to the end, as the system would), otherwise `path` itself.
std::string ResolvedOutput(const std::string& path);

// Creates `path` as a new, empty regular file: never an existing file, never through a link.
// It gets the permissions (and, where allowed, the owner and group) of `like` when that is an
// existing regular file, else the system's default. Nullopt when it cannot be created; `error`
// then holds the errno value (EEXIST: the name is taken).
std::optional<OwnFile> CreateExclusive(const std::string& path, const std::string& like,
                                       int* error = nullptr);

// A new file beside `target` (`target` + `suffix`, then -2, -3, ...), created exclusively with
// `target`'s permissions. Nullopt when none can be created.
std::optional<OwnFile> CreateBeside(const std::string& target, const std::string& suffix);

// Appends `count` bytes to `file`, only while its path still names that regular file.
bool AppendOwned(const OwnFile& file, const void* data, std::size_t count);

// The size of `file` while its path still names it; nullopt otherwise or on any error.
std::optional<uint64_t> OwnedSize(const OwnFile& file);

// Removes `file` only while its path still names that regular file. False (the path left as
// it is) when it does not, or when it cannot be looked at.
bool RemoveOwned(const OwnFile& file);

// Puts the finished `fresh` in place of `target`, only while `fresh`'s path still names it.
// An existing target must be a regular file; its owner, group and permissions are carried
// over first. On failure `fresh` is left as it is and `why` says what went wrong.
bool ReplaceWith(const OwnFile& fresh, const std::string& target, std::string* why);

// The log file: an existing regular file at `path` is emptied in place (no link followed),
// a missing one is created exclusively. Nullopt (and `why`) when neither can be done.
std::optional<OwnFile> OpenEmptied(const std::string& path, std::string* why);

// Writes `bytes` to a new file beside `target` and puts it in place of `target` when it is
// complete. False (and `target` untouched, nothing left beside it) when it cannot; `why`
// then says why, as the end of a sentence.
bool WriteWholeFile(const std::string& target, const std::string& bytes,
                    std::string* why = nullptr);

}  // namespace orlo
