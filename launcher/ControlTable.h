#pragma once
// The window's control table, shared by both windows: one row a control, read from the data
// file in launcher/assets.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "View.h"

namespace kestrune {

enum class ControlKind { Container, Image, Label, Bar };

struct ControlRow {
  Control control;
  ControlKind kind;
  int x, y, width, height;
  bool visible;
  float opacity;
  std::string picture;  // a file name under pictures/, empty for none
};

// The control's name as the table and the handlers spell it ("UpdateNormal").
const char* ControlName(Control control);
std::optional<Control> ControlByName(std::string_view name);

// Parses the table: lines starting with "#" are comments, the first other line is the
// header, every further line a control, bottom to top. Throws std::runtime_error naming the
// line of the first malformed row; every control must appear exactly once.
std::vector<ControlRow> ParseControlTable(std::string_view text);

}  // namespace kestrune
