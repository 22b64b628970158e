#pragma once
// The files compiled into the executable as RCDATA, named after the file ("background.png").

#include <string>
#include <string_view>

namespace kestrune {

// The bytes of the resource `name` of the running executable; they live as long as the
// process. Throws std::runtime_error naming the resource when it is missing.
std::string_view ResourceBytes(const std::string& name);

}  // namespace kestrune
