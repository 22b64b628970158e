#pragma once
// The windowed program entry on Windows.

namespace kestrune {

// Initialises COM, builds the launcher window, runs the start-up sequence (FormCreate:
// settings fetched, and a failure's message box shown, before the window appears), shows the
// window centred and serves its messages until it is destroyed. Returns 0 then. A second
// instance that the settings forbid ends inside FormCreate with exit code 0, before any
// window is shown. Throws std::runtime_error when the window's resources are broken.
int RunWindowed();

}  // namespace kestrune

namespace kestrune {

// Tells the player, in a message box, why the window could not be built.
void ReportStartFailure(const char* reason);

}  // namespace kestrune
