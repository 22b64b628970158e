#include "StartupRules.h"

namespace kestrune {

namespace {

char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool IsClientCommandLine(const std::string& rawCommandLine) {
  std::string lowered = rawCommandLine;
  for (char& c : lowered) c = AsciiLower(c);
  return lowered == "-client";
}

std::string SingleInstanceName(const std::string& executableFileName) {
  std::string title = executableFileName.substr(0, executableFileName.find('.'));
  for (std::size_t i = 1; i < title.size(); ++i) title[i] = AsciiLower(title[i]);
  const std::size_t separator = title.find_last_of("\\:");
  return separator == std::string::npos ? title : title.substr(separator + 1);
}

}  // namespace kestrune
