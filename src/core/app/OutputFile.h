// Files the dialog writes for the user (read-back files, the log file, converter headers).
// Two promises keep what the user owns safe:
//  - only regular files (or links to one) are written: a pipe would hold the user-interface
//    thread in its open for ever, and a device node would receive the data;
//  - a file that already exists is replaced only by a complete new one: the new content is
//    written beside it and renamed into its place at the end, so a failure leaves it as it was.
// Paths are UTF-8 text, as everywhere in the dialog. Standard library only.
#pragma once

#include <filesystem>
#include <string>

namespace orlo {

// The path of a UTF-8 file name, read the same on every system.
std::filesystem::path Utf8Path(const std::string& utf8);

// Empty when `path` may be written: it does not exist, or it is (or links to) a regular file.
// Otherwise why not, as the end of a sentence ("it is not a regular file").
std::string OutputRefusal(const std::string& path);

// The file that writing to `path` really changes: the target of a link (followed to the end),
// otherwise `path` itself.
std::string ResolvedOutput(const std::string& path);

// A name beside `path` that no file has yet: `path` + `suffix`, then with -2, -3, ...
// Empty when none is free.
std::string FreeNameBeside(const std::string& path, const std::string& suffix);

// Gives `to` the permissions of `from` when `from` exists. False when they could not be set.
bool CopyPermissions(const std::string& from, const std::string& to);

// Puts the finished file `fresh` in place of `target`. An existing target's permissions are
// carried over first. On failure `fresh` is left as it is and `why` says what went wrong.
bool ReplaceFile(const std::string& fresh, const std::string& target, std::string* why);

// Writes `bytes` to a new file beside `target` and puts it in place of `target` when it is
// complete. False (and `target` untouched, nothing left beside it) when it cannot.
bool WriteWholeFile(const std::string& target, const std::string& bytes);

}  // namespace orlo
