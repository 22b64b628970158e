// A stand-in for Windows' timeout.exe, which Wine lacks and the self-update script calls as
// "Timeout /t N /nobreak >nul": waits N seconds, then ends with 0. Other switches are ignored.
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  long seconds = 0;
  for (int i = 1; i + 1 < argc; ++i) {
    const std::string option = argv[i];
    if (option == "/t" || option == "/T" || option == "-t" || option == "-T") {
      seconds = std::strtol(argv[i + 1], nullptr, 10);
    }
  }
  // timeout /t -1 waits for a key press; nothing here presses one.
  if (seconds > 0) std::this_thread::sleep_for(std::chrono::seconds(seconds));
  return 0;
}
