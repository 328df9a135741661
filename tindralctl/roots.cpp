#include "roots.h"

#include <algorithm>

#include "config/data_folder.h"
#include "config/root_paths.h"
#include "line_file.h"
#include "platform/process.h"
#include "protected_paths.h"
#include "text.h"

namespace tindral::ctl {
namespace {

/// A config.txt entry and the folder the service makes of it.
struct Entry {
  std::size_t line;
  std::string text;
  std::string expanded;
};

std::vector<Entry> entries_of(const LineFile& file) {
  std::vector<Entry> entries;
  for (std::size_t line = 0; line < file.size(); ++line) {
    for (std::string_view entry : config_entries(file.text(line))) {
      entries.push_back({line, std::string(entry), expand_root_entry(entry)});
    }
  }
  return entries;
}

// What the scan does with the folder; the order of the tests is the scan driver's.
std::string_view scan_outcome(Context& context, const Path& folder) {
  Result<platform::FileType> type = context.fs.file_type(folder);
  if (!type) return type.error().is_not_found() ? "missing: skipped" : "unreachable: skipped";
  if (*type != platform::FileType::Directory) return "not a folder: skipped";
  if (is_protected_path(folder)) return "a protected system location: skipped";
  return "scanned";
}

int refuse(std::string_view entry, std::string reason) {
  return fail(kExitRefused, Error(std::move(reason)).wrap("Refused " + std::string(entry)));
}

// A name that would change meaning in config.txt: a line break starts a second entry, white
// space at either end is trimmed away, a leading "#" makes a comment.
bool survives_as_a_line(std::string_view text) {
  const bool control = std::any_of(text.begin(), text.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x20; });
  return !control && text::trim(text) == text && !text.starts_with('#');
}

// The entry to write for `argument`: with %NAME% references the service expands, the argument
// as given (for the console user's %USERPROFILE% and the like); otherwise the absolute path.
Result<std::string> entry_for(std::string_view argument) {
  if (expand_root_entry(argument) != argument) return std::string(argument);
  Result<Path> absolute = platform::absolute_path(Path::from_text(argument));
  if (!absolute) return std::move(absolute).error();
  return absolute->bytes();
}

int list_roots(Context& context) {
  Result<std::vector<std::string>> lines = describe_roots(context);
  if (!lines) return fail(kExitFailed, lines.error());
  if (lines->empty()) say("config.txt lists no root folder (tindralctl roots add PATH).");
  for (const std::string& line : *lines) say(line);
  return kExitOk;
}

int add_root(Context& context, std::string_view argument) {
  if (!survives_as_a_line(argument)) {
    return refuse(argument,
                  "It holds a line break or control character, begins with \"#\", or begins "
                  "or ends with white space, which config.txt cannot keep");
  }
  Result<std::string> entry = entry_for(argument);
  if (!entry) return fail(kExitFailed, entry.error());
  const Path folder = Path::from_text(expand_root_entry(*entry));
  Result<Path> absolute = platform::absolute_path(folder);
  if (!absolute || *absolute != folder) {
    return refuse(*entry, "It names " + folder.display() +
                              ", which is not an absolute path; the service would look for it "
                              "in its own current folder");
  }
  const std::string_view outcome = scan_outcome(context, folder);
  if (outcome != "scanned") {
    return refuse(*entry, folder.display() + " is " +
                              std::string(outcome.substr(0, outcome.find(':'))) +
                              ", so the service would skip it");
  }
  const Path config = context.file(kConfigFileName);
  Result<LineFile> file = LineFile::read(context.fs, config);
  if (!file) return fail(kExitFailed, file.error());
  for (const Entry& existing : entries_of(*file)) {
    if (existing.text == *entry || existing.expanded == folder.bytes()) {
      say(folder.display() + " is listed already.");
      return kExitOk;
    }
  }
  file->append(*entry);
  if (auto written = file->write(context.fs, config); !written) {
    return fail(kExitFailed, written.error());
  }
  say("Added " + *entry + " to config.txt; the next scan decorates it (tindralctl rescan).");
  return kExitOk;
}

int remove_root(Context& context, std::string_view argument) {
  const Path config = context.file(kConfigFileName);
  Result<LineFile> file = LineFile::read(context.fs, config);
  if (!file) return fail(kExitFailed, file.error());
  Result<std::string> wanted = entry_for(argument);
  const std::string absolute = wanted ? *wanted : std::string(argument);
  std::vector<Entry> entries = entries_of(*file);
  std::size_t removed = 0;
  // From the last, so that the line numbers still to come stay valid.
  for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
    if (entry->text == argument || entry->text == absolute || entry->expanded == absolute) {
      file->erase(entry->line);
      ++removed;
    }
  }
  if (removed == 0) return refuse(argument, "config.txt does not list it (tindralctl roots list)");
  if (auto written = file->write(context.fs, config); !written) {
    return fail(kExitFailed, written.error());
  }
  say("Removed " + std::string(argument) +
      " from config.txt. The desktop.ini files already written there stay until a cleanup "
      "(tindralctl cleanup) runs while the folder is still listed.");
  return kExitOk;
}

int run_roots(Context& context, const Arguments& arguments) {
  const std::vector<std::string>& words = arguments.positional;
  const std::string& action = words[0];
  if (action == "list" && words.size() == 1) return list_roots(context);
  if ((action == "add" || action == "remove") && words.size() == 2) {
    if (const int unmet = require_elevation("roots " + action); unmet != kExitOk) return unmet;
    return action == "add" ? add_root(context, words[1]) : remove_root(context, words[1]);
  }
  return fail(kExitUsage, Error("tindralctl roots --help tells how to call it")
                              .wrap("Expected roots list, roots add PATH or roots remove PATH"));
}

}  // namespace

Result<std::vector<std::string>> describe_roots(Context& context) {
  Result<LineFile> file = LineFile::read(context.fs, context.file(kConfigFileName));
  if (!file) return std::move(file).error();
  std::vector<std::string> lines;
  for (const Entry& entry : entries_of(*file)) {
    std::string line = "  " + entry.text;
    if (entry.expanded != entry.text) line += " = " + entry.expanded;
    lines.push_back(line + "  (" +
                    std::string(scan_outcome(context, Path::from_text(entry.expanded))) + ")");
  }
  return lines;
}

const Command& roots_command() {
  static const Command command{
      "roots",
      "roots list | roots add PATH | roots remove PATH",
      "Show or change the root folders in config.txt.",
      "add appends PATH as an absolute path (an entry with %USERPROFILE% or another %NAME% as\n"
      "written) and refuses a folder that is missing, not a folder, or a protected system\n"
      "location (the Windows folder, the program folders, ProgramData), which the service would\n"
      "skip. remove deletes every line that names PATH. Both rewrite config.txt in one step and\n"
      "keep its comments and other lines; the next scan sees the change. add and remove need an\n"
      "administrator; list does not.\n",
      {},
      {},
      1,
      2,
      {.elevation = false, .installed_service = false, .data_folder = true},
      run_roots};
  return command;
}

}  // namespace tindral::ctl
