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

}  // namespace

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

namespace {

// A root's own reason stays; only one the service would scan waits for the service.
std::string while_not_scanning(std::string outcome, std::string_view not_scanning) {
  if (not_scanning.empty() || outcome != "scanned") return outcome;
  return "not scanned: " + std::string(not_scanning);
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

// The machine's name for what the service does with a root; scan_outcome gives the words.
std::string_view root_state(const std::optional<RootJudgement>& judged) {
  if (!judged) return "not_answering";
  switch (judged->verdict) {
    case RootVerdict::Scanned:
      return "scanned";
    case RootVerdict::Missing:
      return "missing";
    case RootVerdict::Unreachable:
      return "unreachable";
    case RootVerdict::NotFolder:
      return "not_folder";
    case RootVerdict::Refused:
      break;
  }
  return "refused";
}

int list_roots_json(Context& context) {
  Result<std::vector<RootReport>> reports = report_roots(context);
  if (!reports) return fail(kExitFailed, reports.error());
  JsonArray roots;
  for (const RootReport& report : *reports) roots.add_json(root_json(report).text());
  say(JsonObject().add_json("roots", roots.text()).text());
  return kExitOk;
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
  std::vector<Entry> entries = entries_of(*file);
  std::size_t removed = 0;
  // From the last, so that the line numbers still to come stay valid.
  for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
    if (names_root(entry->text, entry->root, argument)) {
      file->erase(entry->line);
      ++removed;
    }
  }
  if (removed == 0) return refuse(argument, "config.txt does not list it (tindralctl roots list)");
  if (auto written = file->write(context.fs, config); !written) {
    return fail(kExitFailed, written.error());
  }
  // A cleanup covers only the roots config.txt lists: the way back is to list it again.
  say("Removed " + std::string(argument) +
      " from config.txt. The desktop.ini files the service wrote below it stay: a cleanup "
      "covers only listed roots, so to remove them add it again (tindralctl roots add), run "
      "tindralctl cleanup --wait, then remove it.");
  return kExitOk;
}

int run_roots(Context& context, const Arguments& arguments) {
  const std::vector<std::string>& words = arguments.positional;
  const std::string& action = words[0];
  if (action == "list" && words.size() == 1) {
    return arguments.has("--json") ? list_roots_json(context) : list_roots(context);
  }
  if (arguments.has("--json")) {
    return fail(kExitUsage, Error("tindralctl roots --help tells how to call it")
                                .wrap("--json goes with roots list only"));
  }
  if ((action == "add" || action == "remove") && words.size() == 2) {
    if (const int unmet = require_elevation("roots " + action); unmet != kExitOk) return unmet;
    return action == "add" ? add_root(context, words[1]) : remove_root(context, words[1]);
  }
  return fail(kExitUsage, Error("tindralctl roots --help tells how to call it")
                              .wrap("Expected roots list, roots add PATH or roots remove PATH"));
}

}  // namespace

Result<std::vector<std::string>> describe_roots(Context& context, std::string_view not_scanning) {
  Result<std::vector<RootReport>> reports = report_roots(context);
  if (!reports) return std::move(reports).error();
  std::vector<std::string> lines;
  for (const RootReport& report : *reports) {
    std::string line = "  " + report.entry;
    if (report.root.text != report.entry) line += " = " + report.root.text;
    line += "  (" + while_not_scanning(report_outcome(report), not_scanning);
    if (!report.root.missing_variable.empty()) line += "; " + missing_variable_note(report.root);
    lines.push_back(line + ")");
  }
  return lines;
}

namespace {

// For the entries the service walks, whether another's walk takes them in, as the service
// decides it: an entry only covers others when it is judged to be walked.
void mark_covered_roots(std::vector<RootReport>& reports) {
  std::vector<RootReport*> walked;
  std::vector<const RootEntry*> walked_roots;
  for (RootReport& report : reports) {
    if (report.judged && report.judged->verdict == RootVerdict::Scanned) {
      walked.push_back(&report);
      walked_roots.push_back(&report.root);
    }
  }
  std::vector<std::optional<std::string>> covered = covered_root_warnings(walked_roots);
  for (std::size_t i = 0; i < walked.size(); ++i) walked[i]->covered = std::move(covered[i]);
}

}  // namespace

Result<std::vector<RootReport>> report_roots(Context& context) {
  Result<LineFile> file = LineFile::read(context.fs, context.file(kConfigFileName));
  if (!file) return std::move(file).error();
  std::vector<RootReport> reports;
  for (Entry& entry : entries_of(*file)) {
    std::optional<RootJudgement> judged = judge_in_time(context, entry.root);
    reports.push_back({std::move(entry.text), std::move(entry.root), std::move(judged), {}});
  }
  mark_covered_roots(reports);
  return reports;
}

std::string report_outcome(const RootReport& report) {
  return report.covered ? *report.covered : scan_outcome(report.judged);
}

JsonObject root_json(const RootReport& report) {
  JsonObject root;
  root.add("entry", report.entry).add("expanded", report.root.text);
  const bool scanned =
      report.judged && report.judged->verdict == RootVerdict::Scanned && !report.covered;
  root.add("state", scanned || !report.covered ? root_state(report.judged) : "refused");
  root.add_or_null("reason", scanned ? std::nullopt : std::optional(report_outcome(report)));
  const std::string& missing = report.root.missing_variable;
  root.add_or_null("missing_variable", missing.empty() ? std::nullopt : std::optional(missing));
  return root;
}

bool names_root(std::string_view entry, const RootEntry& root, std::string_view argument) {
  Result<std::string> wanted = entry_for(argument);
  const std::string absolute = wanted ? *wanted : std::string(argument);
  if (entry == argument || entry == absolute || root.text == absolute) return true;
  const RootEntry named = as_the_service_reads(absolute);
  return !named.refusal && !root.refusal &&
         root_overlap(named.path.bytes(), root.path.bytes()) == RootOverlap::Same;
}

const Command& roots_command() {
  static const Command command{
      "roots",
      "roots list [--json] | roots add PATH | roots remove PATH",
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
      "not.\n"
      "list --json prints the same as one JSON object (the README describes it).\n",
      {"--json", kQuietOption},
      {},
      1,
      2,
      {.elevation = false, .installed_service = false, .data_folder = true},
      run_roots};
  return command;
}

}  // namespace tindral::ctl
