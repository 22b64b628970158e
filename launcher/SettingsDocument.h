#pragma once
// Where the settings document lies, and how its text is prepared for the XML reader.

#include <string>
#include <string_view>

namespace kestrune {

// "http://" + the settings host + "/pts/Settings.xml". The host (with an optional port) is
// $KESTRUNE_SETTINGS_HOST when set and not empty, else the one chosen at build time.
std::string SettingsUrl();

// Every CR, LF and CR LF becomes CR LF, and a last line without one gets it; "" stays "".
std::string NormalizeLineEnds(std::string_view text);

}  // namespace kestrune
