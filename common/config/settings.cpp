#include "config/settings.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

#include "config/config_file.h"
#include "config/data_folder.h"
#include "platform/language.h"
#include "text.h"

namespace tindral {

namespace {

// An optional single "+" and at least one decimal digit, within 32 bits; leading zeros are
// fine. Anything else (a "-" sign, spaces, units, a decimal point) is no interval at all.
std::optional<std::uint32_t> parse_interval(std::string_view value) {
  if (value.starts_with('+')) value.remove_prefix(1);
  if (value.empty()) return std::nullopt;
  std::uint64_t number = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + static_cast<std::uint64_t>(c - '0');
    if (number > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  }
  return static_cast<std::uint32_t>(number);
}

// "on" or "off" in any case; anything else is no answer.
std::optional<bool> parse_switch(std::string_view value) {
  const std::string word = text::to_lower(value);
  if (word == "on") return true;
  if (word == "off") return false;
  return std::nullopt;
}

void apply_line(std::string_view line, Settings& settings) {
  const std::size_t equals = line.find('=');
  if (equals == std::string_view::npos) return;
  // Keys match without regard to case; a byte-order mark stays part of the first key, so a
  // setting on the first line of such a file is not recognised.
  const std::string key = text::to_lower(text::trim(line.substr(0, equals)));
  const std::string_view value = text::trim(line.substr(equals + 1));
  if (key == "interval") {
    if (std::optional<std::uint32_t> interval = parse_interval(value)) {
      settings.interval = *interval;
    }
  } else if (key == "color") {
    settings.color = std::string(value);
  } else if (key == "lang") {
    settings.lang = std::string(value);
  } else if (key == "icon") {
    settings.icon = std::string(value);
  } else if (key == "watch") {
    if (std::optional<bool> watch = parse_switch(value)) settings.watch = *watch;
  }
}

}  // namespace

Settings default_settings() {
  Settings settings;
  settings.color = "green";
  settings.lang = platform::user_ui_language_is_danish() ? "da" : "en";
  settings.interval = kDefaultIntervalMinutes;
  return settings;
}

Result<Settings> parse_settings(std::string_view bytes) {
  Result<std::string> content = text::decode_utf8(std::string(bytes));
  if (!content) return std::move(content).error();
  Settings settings = default_settings();
  for (std::string_view line : text::split_lines(*content)) {
    apply_line(text::trim(line), settings);
  }
  return settings;
}

Result<Settings> load_settings(platform::FileSystem& fs, const Path& settings_path) {
  Result<ConfigFileRead> file = read_config_file(fs, settings_path);
  if (!file) return std::move(file).error().wrap("Failed to read settings.txt");
  if (!file->bytes) return default_settings();
  Result<Settings> settings = parse_settings(*file->bytes);
  if (!settings) return std::move(settings).error().wrap("Failed to read settings.txt");
  return settings;
}

std::string data_folder_icon_path(const Path& data_folder) {
  std::string icon = data_folder.child(kIconFileName).display();
  // Whoever reads desktop.ini is a Windows shell, also for a folder on a Linux file server.
  std::replace(icon.begin(), icon.end(), '/', '\\');
  return icon;
}

std::string configured_icon_path(platform::FileSystem& fs, const Path& data_folder) {
  Result<Settings> settings = load_settings(fs, data_folder.child(kSettingsFileName));
  if (!settings || settings->icon.empty()) return data_folder_icon_path(data_folder);
  return settings->icon;
}

}  // namespace tindral
