#include "Fade.h"

namespace kestrune {

void Fade::Start(float target, double seconds, Time now) {
  if (running_) opacity_ = to_;
  from_ = opacity_;
  to_ = target;
  seconds_ = seconds;
  start_ = now;
  running_ = true;
}

bool Fade::Advance(Time now) {
  if (!running_) return false;
  const float before = opacity_;
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  if (seconds_ <= 0 || elapsed >= seconds_) {
    opacity_ = to_;
    running_ = false;
  } else if (elapsed > 0) {
    opacity_ = from_ + static_cast<float>((to_ - from_) * (elapsed / seconds_));
  }
  return opacity_ != before;
}

}  // namespace kestrune
