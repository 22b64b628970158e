#pragma once
// What a download of the patch pass leaves beside its target, and when it is kept: a transfer
// that broke off keeps its partial for the next attempt to resume; anything else that fails, and
// every unpacking, leaves nothing behind.

#include <exception>
#include <string>

namespace kestrune {

// Removes the complete .lzma at `path` (native), its partial and its resume record; what is not
// there is no failure.
void RemoveDownloadTemporaries(const std::string& path) noexcept;

// Whether the partial of a transfer that failed with `error` is worth resuming: the connection
// broke or was closed (a Cancel among them), or the server answered 5xx, all of which a later
// attempt may get past. A 4xx, a body past its bound or a file error leaves nothing to resume.
bool WorthResuming(const std::exception_ptr& error) noexcept;

}  // namespace kestrune
