#pragma once
// How a downloaded text is prepared for the XML reader: the settings document and the patch
// list arrive with any line ends.

#include <string>
#include <string_view>

namespace kestrune {

// Every CR, LF and CR LF becomes CR LF, and a last line without one gets it; "" stays "".
std::string NormalizeLineEnds(std::string_view text);

}  // namespace kestrune
