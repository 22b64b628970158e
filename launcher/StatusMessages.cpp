#include "StatusMessages.h"

#include <array>

namespace kestrune {

namespace {

struct Texts {
  std::string_view russian;
  std::string_view english;
};

// clang-format off
constexpr std::array<Texts, 14> kTexts = {{
    {"Updater готов к работе.", "Updater is ready to work."},
    {"Проверка успешно завершена!", "Checking successfully completed!"},
    {"Произошла ошибка, попробуйте позже.", "An error occurred, try again later."},
    {"Идет проверка файлов, пожалуйста подождите.", "Scan of files, please wait."},
    {"Все файлы успешно обновлены, приятной игры!", "All files were successfully updated!"},
    {"Отмена", "Cancel"},
    {"Вы отменили выполнение обновлений.", "You canceled Updates."},
    {"Клиент не нуждается в обновлении.", "Your patch is up to date."},
    {"Ошибка, пожайлуйста попробуйте позже!", "Error, please try late again!"},
    {"Обновляю", "Updating"},
    {"Проверка версии программы...", "Checking program version..."},
    {"Произошла ошибка обновления программы.", "An error occurred while trying to update."},
    {"Дождитесь обновления программы!", "Wait for the software update!"},
    {"Сейчас программа перезагрузится.", "The program restart now."},
}};
// clang-format on

}  // namespace

std::optional<std::string_view> StatusMessage(std::int32_t language, std::int32_t code) {
  if (code < 0 || code >= static_cast<std::int32_t>(kTexts.size())) return std::nullopt;
  if (language == 0) return kTexts[static_cast<std::size_t>(code)].russian;
  if (language == 1) return kTexts[static_cast<std::size_t>(code)].english;
  return std::nullopt;
}

}  // namespace kestrune
