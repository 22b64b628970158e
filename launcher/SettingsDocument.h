#pragma once
// Where the settings document lies.

#include <string>

namespace kestrune {

// "http://" + the settings host + "/pts/Settings.xml". The host (with an optional port) is
// $KESTRUNE_SETTINGS_HOST when set and not empty, else the one chosen at build time.
std::string SettingsUrl();

}  // namespace kestrune
