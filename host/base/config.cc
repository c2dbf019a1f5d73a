#include "host/base/config.h"

#include <atomic>
#include <mutex>

#include "host/base/numeric.h"

namespace vantor {
namespace {

std::mutex& SettingsMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<const Config>& SettingsStorage() {
  static std::shared_ptr<const Config> current =
      std::make_shared<const Config>();
  return current;
}

}  // namespace

std::shared_ptr<const Config> Settings() {
  std::lock_guard<std::mutex> lock(SettingsMutex());
  return SettingsStorage();
}

void PublishSettings(Config config) {
  auto next = std::make_shared<const Config>(std::move(config));
  std::lock_guard<std::mutex> lock(SettingsMutex());
  SettingsStorage() = std::move(next);
}

std::string InstanceKeyFromCommandLine(const std::string& command_line) {
  std::string number = "01";
  std::string trimmed = Trim(command_line);
  if (!trimmed.empty() && IsNumeric(trimmed)) number = trimmed;
  return "Software\\Tavik\\Kelmora\\Vantor\\" + number;
}

}  // namespace vantor
