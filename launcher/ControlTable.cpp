#include "ControlTable.h"

#include <charconv>
#include <stdexcept>

namespace kestrune {

namespace {

// In the order of the Control enumeration.
constexpr const char* kNames[] = {
    "Layout1",      "MainForm",      "Status",        "Transfer",      "StartDisabled",
    "StartHover",   "StartPress",    "StartNormal",   "UpdateHover",   "UpdatePress",
    "UpdateNormal", "CancelHover",   "CancelPress",   "CancelNormal",  "CloseHover",
    "ClosePress",   "CloseNormal",   "MinimizeHover", "MinimizePress", "MinimizeNormal",
    "FileProgress", "TotalProgress", "SiteHover",     "SitePress",     "SiteNormal",
    "ForumHover",   "ForumPress",    "ForumNormal",
};
constexpr std::size_t kControlCount = sizeof(kNames) / sizeof(kNames[0]);
static_assert(kControlCount == static_cast<std::size_t>(Control::ForumNormal) + 1);

std::vector<std::string_view> SplitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  for (;;) {
    const auto comma = line.find(',');
    fields.push_back(line.substr(0, comma));
    if (comma == std::string_view::npos) return fields;
    line.remove_prefix(comma + 1);
  }
}

template <typename T>
bool ParseNumber(std::string_view text, T& value) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end && !text.empty();
}

}  // namespace

const char* ControlName(Control control) {
  return kNames[static_cast<std::size_t>(control)];
}

std::optional<Control> ControlByName(std::string_view name) {
  for (std::size_t i = 0; i < kControlCount; ++i) {
    if (name == kNames[i]) return static_cast<Control>(i);
  }
  return std::nullopt;
}

std::vector<ControlRow> ParseControlTable(std::string_view text) {
  std::vector<ControlRow> rows;
  bool header = true;
  bool seen[kControlCount] = {};
  int lineNumber = 0;
  while (!text.empty()) {
    const auto eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    if (header) {
      header = false;
      continue;
    }
    const auto bad = [lineNumber](const char* why) {
      return std::runtime_error("control table line " + std::to_string(lineNumber) + ": " + why);
    };
    const auto f = SplitFields(line);
    if (f.size() != 9) throw bad("expected 9 fields");
    ControlRow row{};
    const auto control = ControlByName(f[0]);
    if (!control) throw bad("unknown control");
    if (seen[static_cast<std::size_t>(*control)]) throw bad("control listed twice");
    seen[static_cast<std::size_t>(*control)] = true;
    row.control = *control;
    if (f[1] == "container") {
      row.kind = ControlKind::Container;
    } else if (f[1] == "image") {
      row.kind = ControlKind::Image;
    } else if (f[1] == "label") {
      row.kind = ControlKind::Label;
    } else if (f[1] == "bar") {
      row.kind = ControlKind::Bar;
    } else {
      throw bad("unknown kind");
    }
    int visible = 0;
    if (!ParseNumber(f[2], row.x) || !ParseNumber(f[3], row.y) || !ParseNumber(f[4], row.width) ||
        !ParseNumber(f[5], row.height) || !ParseNumber(f[6], visible) ||
        !ParseNumber(f[7], row.opacity)) {
      throw bad("malformed number");
    }
    if (row.width < 0 || row.height < 0 || (visible != 0 && visible != 1)) {
      throw bad("value out of range");
    }
    row.visible = visible == 1;
    if (f[8] != "-") row.picture = std::string(f[8]);
    if ((row.kind == ControlKind::Bar) && row.picture.empty()) throw bad("a bar needs a fill");
    rows.push_back(std::move(row));
  }
  for (std::size_t i = 0; i < kControlCount; ++i) {
    if (!seen[i]) throw std::runtime_error(std::string("control table lacks ") + kNames[i]);
  }
  return rows;
}

}  // namespace kestrune
