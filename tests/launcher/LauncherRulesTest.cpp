// The start-up's text rules, the decimal rule of stored integers, and the two layouts.

#include <gtest/gtest.h>

#include "LauncherTestSupport.h"
#include "MainForm.h"
#include "StartupRules.h"
#include "UserSections.h"

namespace kestrune {
namespace {

TEST(ClientCommandLine, OnlyTheWholeLineMinusClientInAnyCaseMatches) {
  struct Case {
    const char* line;
    bool client;
  };
  for (const Case c :
       {Case{"-client", true}, Case{"-CLIENT", true}, Case{"-Client", true}, Case{"", false},
        Case{"client", false}, Case{"/opt/game/KestruneUpdater -client", false},
        Case{"C:\\Games\\KestruneUpdater.exe -client", false}, Case{" -client", false},
        Case{"-client ", false}, Case{"-client  -client", false}, Case{"-clients", false}}) {
    EXPECT_EQ(IsClientCommandLine(c.line), c.client) << '"' << c.line << '"';
  }
}

TEST(SingleInstanceName, CutsAtTheFirstDotAndLowersAllButTheFirstCharacter) {
  struct Case {
    const char* file;
    const char* name;
  };
  for (const Case c :
       {Case{"KestruneUpdater.exe", "Kestruneupdater"},
        Case{"KestruneUpdater2.exe", "Kestruneupdater2"},
        Case{"KESTRUNEUPDATER.EXE", "Kestruneupdater"},
        Case{"kestruneUpdater.exe", "kestruneupdater"}, Case{"Kestrune.Updater.exe", "Kestrune"},
        Case{"KestruneUpdater", "Kestruneupdater"},
        Case{"C:\\Games\\KestruneUpdater.exe", "kestruneupdater"},
        Case{"C:KestruneUpdater", "kestruneupdater"}, Case{"", ""}}) {
    EXPECT_EQ(SingleInstanceName(c.file), c.name) << c.file;
  }
}

TEST(ParseDecimal, TakesOnlyASignAndDigitsWithin32Bits) {
  struct Case {
    const char* text;
    std::optional<std::int32_t> value;
  };
  for (const Case c :
       {Case{"0", 0}, Case{"7", 7}, Case{"-3", -3}, Case{"+5", 5}, Case{"2147483647", 2147483647},
        Case{"-2147483648", INT32_MIN}, Case{"2147483648", std::nullopt}, Case{"", std::nullopt},
        Case{" 1", std::nullopt}, Case{"1 ", std::nullopt}, Case{"0x1", std::nullopt},
        Case{"$1", std::nullopt}, Case{"-", std::nullopt}, Case{"+", std::nullopt},
        Case{"+-1", std::nullopt}, Case{"1e3", std::nullopt}}) {
    EXPECT_EQ(ParseDecimal(c.text), c.value) << '"' << c.text << '"';
  }
}

TEST(Layouts, SwitchTheGateAndTheButtonsInTableOrder) {
  PlainUiThread ui;
  test::RecordingView view;
  TFormUpdater form(view, ui);
  using C = Control;

  form.ApplyBusyLayout();
  EXPECT_FALSE(form.canUpdate);
  const std::vector<std::pair<Control, bool>> busy = {
      {C::StartDisabled, true}, {C::StartNormal, false},  {C::StartHover, false},
      {C::StartPress, false},   {C::UpdateNormal, false}, {C::UpdateHover, false},
      {C::UpdatePress, false},  {C::CancelNormal, true},  {C::CancelHover, true},
      {C::CancelPress, true}};
  EXPECT_EQ(view.visibility, busy);

  view.visibility.clear();
  form.ApplyIdleLayout();
  EXPECT_TRUE(form.canUpdate);
  const std::vector<std::pair<Control, bool>> idle = {
      {C::StartDisabled, false}, {C::StartNormal, true},   {C::StartHover, true},
      {C::StartPress, true},     {C::UpdateNormal, true},  {C::UpdateHover, true},
      {C::UpdatePress, true},    {C::CancelNormal, false}, {C::CancelHover, false},
      {C::CancelPress, false}};
  EXPECT_EQ(view.visibility, idle);
  EXPECT_TRUE(view.fades.empty());  // opacities stay as they are
}

TEST(Bars, StartFullAndForwardWidthsUnclamped) {
  PlainUiThread ui;
  test::RecordingView view;
  TFormUpdater form(view, ui);
  EXPECT_EQ(form.BarWidth(Bar::File), 409.0f);
  EXPECT_EQ(form.BarWidth(Bar::Total), 409.0f);
  form.SetBarWidth(Bar::File, 204.5f);
  form.SetBarWidth(Bar::Total, 409.5f);
  EXPECT_EQ(form.BarWidth(Bar::File), 204.5f);
  EXPECT_EQ(form.BarWidth(Bar::Total), 409.5f);
  EXPECT_EQ(view.bars, (std::vector<std::pair<Control, float>>{{Control::FileProgress, 204.5f},
                                                               {Control::TotalProgress, 409.5f}}));
}

}  // namespace
}  // namespace kestrune
