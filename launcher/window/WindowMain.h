#pragma once
// The windowed program entry.

namespace kestrune {

// Creates the Qt application and the launcher window, runs the start-up sequence
// (FormCreate: settings fetched, and a failure's message box shown, before the window
// appears), shows the window centred and runs the event loop until the window closes.
// Returns 0 then. A second instance that the settings forbid ends inside FormCreate with
// exit code 0, before any window is shown. Throws std::runtime_error when the window's
// resources are broken.
int RunWindowed(int argc, char** argv);

}  // namespace kestrune
