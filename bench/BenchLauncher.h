#pragma once
// Just enough of a launcher for a patch worker run in a benchmark: settings to fill in, the
// plain hand-over, and the status code and bar widths the run left.

#include <cstdint>
#include <string>

#include "LauncherInterface.h"
#include "UiThread.h"

namespace kestrune::bench {

class HeadlessLauncher final : public LauncherInterface {
 public:
  LauncherSettings values;
  PlainUiThread ui;
  std::int32_t code = -1;

  const LauncherSettings& settings() const override { return values; }
  UiThread& uiThread() override { return ui; }
  void setStatus(std::int32_t c) override { code = c; }
  std::int32_t getLanguage() const override { return 1; }
  void StoreCritical(std::int32_t) override {}
  bool AcceptSerial(std::uint64_t) override { return true; }
  void ShowStatus() override {}
  void SetStatusText(const std::string&) override {}
  void ApplyIdleLayout() override {}
  void ApplyBusyLayout() override {}
  void SetCanUpdate(bool) override {}
  void SetBarWidth(Bar bar, float width) override { (bar == Bar::File ? file : total) = width; }
  float BarWidth(Bar bar) const override { return bar == Bar::File ? file : total; }
  void ShowMessage(const std::string&) override {}
  void StartClient() override {}
  void CloseWindow() override {}

  float file = 0, total = 0;
};

}  // namespace kestrune::bench
