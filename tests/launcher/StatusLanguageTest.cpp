// Status codes turned into texts of the current language, and the show-status step.

#include <gtest/gtest.h>

#include "LauncherTestSupport.h"
#include "MainForm.h"

namespace kestrune {
namespace {

using test::RecordingView;

// A form that never ran its start-up: no per-user store, so setLanguage writes nothing.
class StatusTest : public ::testing::Test {
 protected:
  PlainUiThread ui;
  RecordingView view;
  TFormUpdater form{view, ui};
};

struct Row {
  int code;
  const char* russian;
  const char* english;
};

// clang-format off
const Row kTable[] = {
    {0, "Updater готов к работе.", "Updater is ready to work."},
    {1, "Проверка успешно завершена!", "Checking successfully completed!"},
    {2, "Произошла ошибка, попробуйте позже.", "An error occurred, try again later."},
    {3, "Идет проверка файлов, пожалуйста подождите.", "Scan of files, please wait."},
    {4, "Все файлы успешно обновлены, приятной игры!", "All files were successfully updated!"},
    {5, "Отмена", "Cancel"},
    {6, "Вы отменили выполнение обновлений.", "You canceled Updates."},
    {7, "Клиент не нуждается в обновлении.", "Your patch is up to date."},
    {8, "Ошибка, пожайлуйста попробуйте позже!", "Error, please try late again!"},
    {9, "Обновляю", "Updating"},
    {10, "Проверка версии программы...", "Checking program version..."},
    {11, "Произошла ошибка обновления программы.", "An error occurred while trying to update."},
    {12, "Дождитесь обновления программы!", "Wait for the software update!"},
    {13, "Сейчас программа перезагрузится.", "The program restart now."},
};
// clang-format on

TEST_F(StatusTest, EveryCodeHasItsExactTextInBothLanguages) {
  for (const Row& row : kTable) {
    form.setStatus(row.code);
    form.language = 0;
    form.getStatus();
    EXPECT_EQ(form.msg, row.russian) << "code " << row.code;
    form.language = 1;
    form.getStatus();
    EXPECT_EQ(form.msg, row.english) << "code " << row.code;
  }
}

TEST_F(StatusTest, NoTextLeavesMsgAsItWas) {
  struct Case {
    int language;
    int code;
  };
  for (const Case c :
       {Case{1, -1}, Case{1, 14}, Case{0, -1}, Case{0, 14}, Case{2, 0}, Case{2, 7}, Case{-1, 4}}) {
    form.msg = "previous";
    form.language = c.language;
    form.setStatus(c.code);
    form.getStatus();
    EXPECT_EQ(form.msg, "previous") << "language " << c.language << ", code " << c.code;
  }
}

TEST_F(StatusTest, ShowStatusPutsTheTextOfTheCodeIntoTheLabel) {
  form.setLanguage(1);  // messageId is still 0 here, as at start-up
  form.setStatus(7);
  form.ShowStatus();
  form.setStatus(-1);
  form.ShowStatus();  // keeps (repeats) the previous text
  form.setStatus(8);
  form.language = 0;
  form.ShowStatus();
  EXPECT_EQ(view.statusTexts,
            (std::vector<std::string>{"Updater is ready to work.", "Your patch is up to date.",
                                      "Your patch is up to date.",
                                      "Ошибка, пожайлуйста попробуйте позже!"}));
}

TEST_F(StatusTest, AWorkersStatusCodeIsShownAfterTheHandOver) {
  form.setLanguage(1);
  std::thread worker([this] {
    form.setStatus(msgAllUpdated);
    form.uiThread().run([this] { form.ShowStatus(); });
  });
  ui.ServeUntil([this] { return view.statusTexts.size() == 2; });
  worker.join();
  EXPECT_EQ(view.statusTexts.back(), "All files were successfully updated!");
}

// The transfer line is made in the form's language; its clock starts at the first count, so
// no rate shows yet, and an emptied file bar clears the line.
TEST_F(StatusTest, TheTransferLineFollowsTheCountsInTheCurrentLanguage) {
  form.setLanguage(1);
  form.ShowTransfer(1'000'000, 97'000'000);
  form.SetBarWidth(Bar::File, 0);
  form.language = 0;
  form.ShowTransfer(500'000, 0);
  EXPECT_EQ(view.transferTexts, (std::vector<std::string>{"1.0 of 97.0 MB", "", "500,0 КБ"}));
}

}  // namespace
}  // namespace kestrune
