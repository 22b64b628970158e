#pragma once
// PNG pictures decoded by the Windows Imaging Component. COM must be initialised on the
// calling thread.

#include <string_view>

#include "Canvas.h"

namespace kestrune {

// `png` as premultiplied BGRA (`premultiplied`) or with straight alpha (icons want that).
// Throws std::runtime_error naming `what` when the bytes are no picture WIC can read.
Canvas DecodePng(std::string_view png, const char* what, bool premultiplied = true);

}  // namespace kestrune
