#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "desktop_ini.h"
#include "json.h"
#include "root_folder.h"
#include "roots.h"
#include "scan_folder.h"
#include "time_limit.h"

namespace tindral::ctl {
namespace {

// A walk may take long, so it has no time limit; a file system that stops answering for this
// long (a hung network mount, a FUSE server that never replies) ends it instead.
constexpr std::chrono::seconds kStallLimit{30};

/// What the walk of one root found.
struct RootFolders {
  /// Set when the root was refused as the walk opened it.
  std::optional<RootRefusal> refusal;
  /// The folders whose desktop.ini is the service's, in the order of the walk.
  std::vector<Path> carrying;
  /// Folders the scan would walk, as the scan counts them.
  std::uint64_t walked = 0;
  /// Folders that could not be opened or listed, and desktop.ini files that could not be read.
  std::uint64_t unreadable = 0;
};

class CarryingFolders final : public FolderInspector {
 public:
  CarryingFolders(const Path& root, const std::function<void()>& step) : root_(root), step_(step) {}

  void folder_listed(const WalkPath& path, platform::Folder& folder, Listing listing,
                     ListedDesktopIni desktop_ini) override {
    ++found_.walked;
    step_();
    if (listing == Listing::Refused) {
      ++found_.unreadable;
      return;
    }
    if (desktop_ini == ListedDesktopIni::Absent) return;
    const FoundDesktopIni found = find_desktop_ini(folder);
    if (found.unreadable) ++found_.unreadable;
    if (found.kind == DesktopIniKind::Marked || found.kind == DesktopIniKind::UpToDate) {
      found_.carrying.push_back(path.current(root_));
    }
  }

  void folder_unopened() override {
    ++found_.walked;
    ++found_.unreadable;
    step_();
  }

  RootFolders& found() { return found_; }

 private:
  const Path& root_;
  const std::function<void()>& step_;
  RootFolders found_;
};

// The root is opened again for the walk, and refused if it changed since it was judged: what is
// walked is what was judged last.
RootFolders find_carrying(platform::FileSystem& fs, const Path& root,
                          const std::function<void()>& step) {
  OpenedRoot opened = open_root(fs, root);
  if (opened.refusal) return {opened.refusal, {}, 0, 0};
  CarryingFolders inspector(root, step);
  inspect_folders(std::move(opened.folder), opened.location, inspector);
  return std::move(inspector.found());
}

/// One root of config.txt and, when it was walked, what the walk found.
struct RootOutcome {
  RootReport report;
  std::optional<RootFolders> found;
  bool stopped_answering = false;
};

RootOutcome walk_root(Context& context, RootReport report) {
  RootOutcome outcome{std::move(report), std::nullopt, false};
  const std::optional<RootJudgement>& judged = outcome.report.judged;
  if (!judged || judged->verdict != RootVerdict::Scanned || outcome.report.covered) return outcome;
  const Path& root = outcome.report.root.path;
  platform::FileSystem& fs = context.fs;
  outcome.found = while_progressing<RootFolders>(
      kStallLimit,
      [&fs, root](const std::function<void()>& step) { return find_carrying(fs, root, step); });
  outcome.stopped_answering = !outcome.found;
  if (outcome.found && outcome.found->refusal) {
    const RootRefusal why = *outcome.found->refusal;
    outcome.report.judged =
        RootJudgement{RootVerdict::Refused, why, skipped_root_message(why, root.display())};
    outcome.found.reset();
  }
  return outcome;
}

std::string folders_phrase(std::uint64_t count) {
  return std::to_string(count) + (count == 1 ? " folder carries" : " folders carry");
}

void print_text(const std::vector<RootOutcome>& outcomes, std::uint64_t total) {
  for (const RootOutcome& outcome : outcomes) {
    const std::string& entry = outcome.report.entry;
    if (outcome.stopped_answering) {
      say(entry + ": did not answer for " + std::to_string(kStallLimit.count()) +
          " seconds; its walk was given up");
    } else if (!outcome.found) {
      say(entry + ": not walked (" + report_outcome(outcome.report) + ")");
    } else {
      const RootFolders& found = *outcome.found;
      say(entry + ": " + std::to_string(found.carrying.size()) + " of " +
          std::to_string(found.walked) + " folders carry the service's desktop.ini" +
          (found.unreadable == 0 ? std::string()
                                 : "; " + std::to_string(found.unreadable) + " could not be read"));
    }
  }
  say(folders_phrase(total) + " the service's desktop.ini.");
}

void print_json(const std::vector<RootOutcome>& outcomes, std::uint64_t total) {
  JsonArray roots;
  for (const RootOutcome& outcome : outcomes) {
    JsonObject root = root_json(outcome.report);
    JsonArray carrying;
    if (outcome.found) {
      for (const Path& folder : outcome.found->carrying) carrying.add(folder.bytes());
    }
    root.add("walk", outcome.stopped_answering ? "stopped_answering"
                     : outcome.found           ? "whole"
                                               : "not_walked");
    root.add("folders_walked", outcome.found ? outcome.found->walked : 0);
    root.add("unreadable", outcome.found ? outcome.found->unreadable : 0);
    root.add_json("folders", carrying.text());
    roots.add_json(root.text());
  }
  say(JsonObject().add_json("roots", roots.text()).add("count", total).text());
}

int run_folders(Context& context, const Arguments& arguments) {
  Result<std::vector<RootReport>> reports = report_roots(context);
  if (!reports) return fail(kExitFailed, reports.error());
  const std::vector<std::string>& words = arguments.positional;
  std::vector<RootOutcome> outcomes;
  std::uint64_t total = 0;
  bool stopped_answering = false;
  for (RootReport& report : *reports) {
    if (!words.empty() && !names_root(report.entry, report.root, words[0])) continue;
    outcomes.push_back(walk_root(context, std::move(report)));
    if (outcomes.back().found) total += outcomes.back().found->carrying.size();
    stopped_answering = stopped_answering || outcomes.back().stopped_answering;
  }
  if (!words.empty() && outcomes.empty()) {
    return fail(
        kExitRefused,
        Error("config.txt does not list it (tindralctl roots list)").wrap("Refused " + words[0]));
  }
  if (arguments.has("--json")) {
    print_json(outcomes, total);
  } else {
    print_text(outcomes, total);
  }
  if (!stopped_answering) return kExitOk;
  return fail(kExitFailed,
              Error("A root did not answer for " + std::to_string(kStallLimit.count()) +
                    " seconds; what it holds was not counted whole"));
}

}  // namespace

const Command& folders_command() {
  static const Command command{
      "folders",
      "folders [ROOT] [--json]",
      "Count the folders that carry the service's desktop.ini, changing nothing.",
      "Walks the trees below the roots of config.txt (or below ROOT only, which\n"
      "config.txt must list) by the scan's own rules and counts, per root, the\n"
      "folders whose desktop.ini is the service's; one the user customised, or\n"
      "somebody else's, is not counted. --json lists the folders as well, in one\n"
      "JSON object (the README describes it). It reads as its caller: a folder it\n"
      "may not open or read counts as unreadable and nothing below it is walked, so\n"
      "run it as an administrator (root) to see what the service sees. A root that\n"
      "does not answer for 30 seconds is given up, with exit code 1.\n",
      {"--json"},
      {},
      0,
      1,
      {.elevation = false, .installed_service = false, .data_folder = true},
      run_folders};
  return command;
}

}  // namespace tindral::ctl
