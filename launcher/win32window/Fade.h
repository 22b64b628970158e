#pragma once
// An image's opacity over time: linear from where it stood to a target. Pure: the time is
// an argument.

#include <chrono>

namespace kestrune {

class Fade {
 public:
  using Time = std::chrono::steady_clock::time_point;

  Fade() = default;
  explicit Fade(float opacity) : from_(opacity), to_(opacity) {}

  // A fade still running jumps to its target first; then a linear fade from there to
  // `target` over `seconds`, beginning at `now`. 0 seconds or less ends at the next Advance.
  void Start(float target, double seconds, Time now);
  // Moves the opacity to where it is at `now`; returns whether it changed.
  bool Advance(Time now);

  float opacity() const { return opacity_; }
  bool running() const { return running_; }

 private:
  float from_ = 1;
  float to_ = 1;
  float opacity_ = from_;
  double seconds_ = 0;
  Time start_{};
  bool running_ = false;
};

}  // namespace kestrune
