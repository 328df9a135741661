#include "roots.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>

#include "config/data_folder.h"
#include "config/root_paths.h"
#include "line_file.h"
#include "platform/console.h"
#include "platform/process.h"
#include "platform/service_control.h"
#include "root_folder.h"
#include "root_overlap.h"
#include "text.h"
#include "time_limit.h"

namespace tindral::ctl {
namespace {

// A root whose file system takes longer than this to answer would hold up every scan too; the
// administrator hears so rather than waits.
constexpr std::chrono::seconds kRootCheckTimeLimit{10};

/// A config.txt entry and the folder the service makes of it.
struct Entry {
  std::size_t line;
  std::string text;
  RootEntry root;
};

// As the service reads the line: with the console user, and %NAME% from the environment the
// service gets, which is not this program's (an administrator's own variables, a different
// TEMP).
RootEntry as_the_service_reads(std::string_view entry) {
  return root_entry(entry, interactive_user, platform::service_environment_variable);
}

std::vector<Entry> entries_of(const LineFile& file) {
  std::vector<Entry> entries;
  for (std::size_t line = 0; line < file.size(); ++line) {
    for (std::string_view entry : config_entries(file.text(line))) {
      entries.push_back({line, std::string(entry), as_the_service_reads(entry)});
    }
  }
  return entries;
}

// The service's own decision, within a time limit; nothing when the root did not answer.
std::optional<RootJudgement> judge_in_time(Context& context, const RootEntry& root) {
  platform::FileSystem& fs = context.fs;
  return within<RootJudgement>(kRootCheckTimeLimit, [&fs, root] { return judge_root(fs, root); });
}

// What the scan does with the root: the service's warning word for word where it gives one.
std::string scan_outcome(const std::optional<RootJudgement>& judged) {
  if (!judged) {
    return "not answering within " + std::to_string(kRootCheckTimeLimit.count()) +
           " seconds: the service's scans would wait for it";
  }
  switch (judged->verdict) {
    case RootVerdict::Scanned:
      return "scanned";
    case RootVerdict::Missing:
      return "missing: skipped";
    case RootVerdict::Unreachable:
      return "unreachable: skipped";
    case RootVerdict::NotFolder:
      return "not a folder: skipped";
    case RootVerdict::Refused:
      break;
  }
  return judged->warning;
}

// What the service makes of each entry, and for those it walks whether another's walk takes
// them in, as the service decides it (plan_root_walks): an entry only counts as walked when it
// is judged so.
std::vector<std::string> scan_outcomes(Context& context, const std::vector<Entry>& entries) {
  std::vector<std::string> outcomes;
  std::vector<std::size_t> walked;
  std::vector<const RootEntry*> walked_roots;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::optional<RootJudgement> judged = judge_in_time(context, entries[i].root);
    if (judged && judged->verdict == RootVerdict::Scanned) {
      walked.push_back(i);
      walked_roots.push_back(&entries[i].root);
    }
    outcomes.push_back(scan_outcome(judged));
  }
  std::vector<std::optional<std::string>> covered = covered_root_warnings(walked_roots);
  for (std::size_t i = 0; i < walked.size(); ++i) {
    if (covered[i]) outcomes[walked[i]] = std::move(*covered[i]);
  }
  return outcomes;
}

// The listed entry that names the same folder as `root`, however either is spelled.
const Entry* listed_as(const std::vector<Entry>& entries, const RootEntry& root) {
  for (const Entry& entry : entries) {
    if (entry.root.refusal) continue;
    if (root_overlap(root.path.bytes(), entry.root.path.bytes()) == RootOverlap::Same) {
      return &entry;
    }
  }
  return nullptr;
}

// A root inside or around a listed one is added all the same (the service walks the folders
// once), but the administrator hears that one entry already covers the other.
void warn_about_overlaps(const std::vector<Entry>& entries, const RootEntry& root) {
  for (const Entry& entry : entries) {
    if (entry.root.refusal) continue;
    const RootOverlap overlap = root_overlap(root.path.bytes(), entry.root.path.bytes());
    if (overlap == RootOverlap::Inside) {
      platform::write_stderr("Warning: " + root.text + " lies inside " + entry.text +
                             ", which config.txt lists already; the service walks it as part "
                             "of that root.\n");
    } else if (overlap == RootOverlap::Encloses) {
      platform::write_stderr("Warning: " + root.text + " holds " + entry.text +
                             ", which config.txt lists already; the service walks that root "
                             "as part of this one.\n");
    }
  }
}

std::string missing_variable_note(const RootEntry& root) {
  return "%" + root.missing_variable + "% is not set for the service";
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

// The entry to write for `argument`: with %NAME% references the service expands (or would, had
// it the variable), the argument as given (for the console user's %USERPROFILE% and the like);
// otherwise the absolute path.
Result<std::string> entry_for(std::string_view argument) {
  const RootEntry root = as_the_service_reads(argument);
  if (root.text != argument || !root.missing_variable.empty()) return std::string(argument);
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
  const RootEntry root = as_the_service_reads(*entry);
  if (!root.missing_variable.empty()) {
    return refuse(*entry, "It depends on %" + root.missing_variable +
                              "%, which is not set for the service (its environment is not "
                              "yours), so the service would read it as written");
  }
  const std::optional<RootJudgement> judged = judge_in_time(context, root);
  if (!judged) {
    return refuse(*entry, root.path.display() + " did not answer within " +
                              std::to_string(kRootCheckTimeLimit.count()) +
                              " seconds; the service's scans would wait for it too");
  }
  if (judged->verdict == RootVerdict::Refused) return refuse(*entry, judged->warning);
  if (judged->verdict != RootVerdict::Scanned) {
    const std::string outcome = scan_outcome(judged);
    return refuse(*entry, root.path.display() + " is " + outcome.substr(0, outcome.find(':')) +
                              ", so the service would skip it");
  }
  const Path config = context.file(kConfigFileName);
  Result<LineFile> file = LineFile::read(context.fs, config);
  if (!file) return fail(kExitFailed, file.error());
  const std::vector<Entry> entries = entries_of(*file);
  if (const Entry* listed = listed_as(entries, root)) {
    return refuse(*entry, "It is already listed as " + listed->text);
  }
  warn_about_overlaps(entries, root);
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
  const RootEntry root = as_the_service_reads(absolute);
  std::vector<Entry> entries = entries_of(*file);
  std::size_t removed = 0;
  // From the last, so that the line numbers still to come stay valid.
  for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
    const bool same_folder =
        !root.refusal && !entry->root.refusal &&
        root_overlap(root.path.bytes(), entry->root.path.bytes()) == RootOverlap::Same;
    if (entry->text == argument || entry->text == absolute || entry->root.text == absolute ||
        same_folder) {
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
  const std::vector<Entry> entries = entries_of(*file);
  const std::vector<std::string> outcomes = scan_outcomes(context, entries);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const Entry& entry = entries[i];
    std::string line = "  " + entry.text;
    if (entry.root.text != entry.text) line += " = " + entry.root.text;
    line += "  (" + outcomes[i];
    if (!entry.root.missing_variable.empty()) line += "; " + missing_variable_note(entry.root);
    lines.push_back(line + ")");
  }
  return lines;
}

const Command& roots_command() {
  static const Command command{
      "roots",
      "roots list | roots add PATH | roots remove PATH",
      "Show or change the root folders in config.txt.",
      "add appends PATH as an absolute path (an entry with %USERPROFILE% or another %NAME% as\n"
      "written) and refuses what the service would skip: a folder that is missing, not a folder,\n"
      "a protected system location (the Windows folder, the program folders, ProgramData), one\n"
      "reached through a link or into a folder that another account controls, or an entry that\n"
      "needs a %NAME% the service's environment does not set. list shows for each entry what\n"
      "the service does with it, in the service's own words where it warns; a folder that does\n"
      "not answer within 10 seconds is reported as not answering. remove deletes every line that\n"
      "names PATH. add and remove rewrite config.txt in one step and keep its comments and other\n"
      "lines; the next scan sees the change. add and remove need an administrator; list does\n"
      "not.\n",
      {},
      {},
      1,
      2,
      {.elevation = false, .installed_service = false, .data_folder = true},
      run_roots};
  return command;
}

}  // namespace tindral::ctl
