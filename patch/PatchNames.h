#pragma once
// The rules for the file names of a patch list, shared by the patch worker and the publisher:
// pure text, no file system.

#include <string>
#include <string_view>

namespace kestrune {

// The file in the game folder whose lock a patch run holds (patch list names never name it).
inline constexpr std::string_view kLockFileName = "kestrune.lock";

// Whether a patch-list file name stays inside the game folder and names a file of its own: not
// empty, no control character (the field separator included), no leading "\" or "/", no drive
// or stream prefix (":"), no ".." component, and not the lock file. Components Windows would
// take for another file are refused on every platform, since lists are written for Windows
// players: an empty one, one ending in "." or a blank, and a device name (CON, PRN, AUX, NUL,
// COM0-9, LPT0-9, COM and LPT with a superscript digit, CONIN$, CONOUT$; any letter case, any
// extension). Other names are never touched.
bool IsSafePatchName(std::string_view name);

// Everything before the last "\" or ":" of a "\"-separated path; a drive root keeps its "\".
std::string DirectoryPart(const std::string& path);

// The part of a "\"-separated path after its last "\" or ":".
std::string LastPathComponent(const std::string& path);

}  // namespace kestrune
