#include "TransferText.h"

#include <algorithm>
#include <cmath>

namespace kestrune {
namespace {

struct Words {
  const char* of;
  const char* units[3];  // 1e3, 1e6 and 1e9 bytes
  const char* perSecond;
  char decimalPoint;
};

constexpr Words kRussian{" из ", {"КБ", "МБ", "ГБ"}, "/с", ','};
constexpr Words kEnglish{" of ", {"kB", "MB", "GB"}, "/s", '.'};
constexpr const char* kSeparator = " · ";
constexpr std::int64_t kTenthOfUnit[3] = {100, 100'000, 100'000'000};

// Earlier than this the rate is mostly the noise of the first notifications.
constexpr double kRateAfterSeconds = 0.05;
constexpr double kLongestTimeLeft = 100.0 * 3600;

// The unit in which `bytes` stays below 1000.0 once rounded to tenths.
int UnitFor(double bytes) {
  if (bytes < 999'950) return 0;
  if (bytes < 999'950'000) return 1;
  return 2;
}

// Digits by hand: printf's decimal point follows the process locale, which Qt sets.
std::string Tenths(std::int64_t tenths, const Words& w) {
  return std::to_string(tenths / 10) + w.decimalPoint + std::to_string(tenths % 10);
}

// Sizes round half up exactly; the rate is a measurement and rounds as a double.
std::string Size(std::int64_t bytes, int unit, const Words& w) {
  const std::int64_t tenth = kTenthOfUnit[unit];
  return Tenths(bytes / tenth + (bytes % tenth >= tenth / 2 ? 1 : 0), w);
}

std::string Rate(double bytesPerSecond, const Words& w) {
  const int unit = UnitFor(bytesPerSecond);
  const auto tenths = static_cast<std::int64_t>(
      std::llround(bytesPerSecond / static_cast<double>(kTenthOfUnit[unit])));
  return Tenths(tenths, w) + " " + w.units[unit] + w.perSecond;
}

std::string Clock(std::int64_t seconds) {
  const auto two = [](std::int64_t v) { return (v < 10 ? "0" : "") + std::to_string(v); };
  const std::int64_t h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
  if (h > 0) return std::to_string(h) + ":" + two(m) + ":" + two(s);
  return std::to_string(m) + ":" + two(s);
}

}  // namespace

std::string TransferText(std::int64_t received, std::int64_t expected, double elapsedSeconds,
                         std::int32_t language) {
  if (language != 0 && language != 1) return {};
  const Words& w = language == 0 ? kRussian : kEnglish;
  received = std::max<std::int64_t>(received, 0);
  const bool announced = expected > 0;

  // Both sizes in one unit, the one the larger needs.
  const int unit = UnitFor(static_cast<double>(std::max(received, expected)));
  std::string text = Size(received, unit, w);
  if (announced) text += w.of + Size(expected, unit, w);
  text += std::string(" ") + w.units[unit];

  if (!(elapsedSeconds >= kRateAfterSeconds)) return text;
  const double rate = static_cast<double>(received) / elapsedSeconds;
  text += kSeparator + Rate(rate, w);

  if (!announced || rate <= 0) return text;
  const double left =
      std::ceil(static_cast<double>(std::max<std::int64_t>(expected - received, 0)) / rate);
  if (left < kLongestTimeLeft) text += kSeparator + Clock(static_cast<std::int64_t>(left));
  return text;
}

}  // namespace kestrune
