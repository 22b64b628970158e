#pragma once
// The two text rules of the start-up that depend on nothing but their input.

#include <string>

namespace kestrune {

// Whether the whole raw command line is "-client", ASCII letter case ignored. The program
// path before it, or any blank, makes it no match.
bool IsClientCommandLine(const std::string& rawCommandLine);

// The single-instance mutex name for an executable file name: cut at the first ".", the first
// character kept and every following ASCII letter lower-cased, then the part after the last
// "\" or ":". "KestruneUpdater.exe" gives "Kestruneupdater".
std::string SingleInstanceName(const std::string& executableFileName);

}  // namespace kestrune
