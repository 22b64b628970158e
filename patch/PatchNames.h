#pragma once
// The rules for the file names of a patch list, shared by the patch worker and the publisher:
// pure text, no file system.

#include <string>
#include <string_view>

namespace kestrune {

// Whether a patch-list file name stays inside the game folder: not empty, no control
// character (the field separator included), no leading "\" or "/", no drive or stream
// prefix (":"), no ".." component. Other names are never touched.
bool IsSafePatchName(std::string_view name);

// Everything before the last "\" or ":" of a "\"-separated path; a drive root keeps its "\".
std::string DirectoryPart(const std::string& path);

// The part of a "\"-separated path after its last "\" or ":".
std::string LastPathComponent(const std::string& path);

}  // namespace kestrune
