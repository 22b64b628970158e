#pragma once
// How the publisher reads and writes its files: whole, and never seen half-written.

#include <filesystem>
#include <string>

namespace kestrune {

// The suffix of a file being written; it is renamed over its final name once complete.
inline constexpr const char* kPartSuffix = ".publishing";

// The path as UTF-8, and the same in double quotes for messages.
std::string U8(const std::filesystem::path& path);
// As U8, with "/" between the parts.
std::string GenericU8(const std::filesystem::path& path);
// The path of a UTF-8 text. Never the narrow constructor, which reads the ANSI code page on
// Windows and loses every name outside it.
std::filesystem::path PathOfU8(const std::string& text);
// `path` with `suffix` (ASCII) appended to its last part.
std::filesystem::path WithSuffix(const std::filesystem::path& path, const char* suffix);
std::string Quoted(const std::filesystem::path& path);

// The whole file; empty when it is missing or unreadable.
std::string ReadText(const std::filesystem::path& path);
// Whether `path` is a regular file holding exactly `bytes`.
bool Holds(const std::filesystem::path& path, const std::string& bytes);

// Writes through `path` + kPartSuffix, renamed over `path`, so a reader never sees a partial
// file; creates the parent folders. Returns false (and writes nothing) when the file already
// holds exactly `bytes`. Throws PublishError(Failed), leaving `path` as it was.
bool WriteIfChanged(const std::filesystem::path& path, const std::string& bytes);

// Writes `bytes` as a new file at `path` (with `ownerOnly` readable by its owner alone):
// through a part file, linked to `path` only if nothing is there. Returns false, writing
// nothing, when `path` exists. Throws PublishError(Failed).
bool WriteNewFile(const std::filesystem::path& path, const std::string& bytes, bool ownerOnly);

}  // namespace kestrune
