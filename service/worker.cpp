#include "worker.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "change_updates.h"
#include "config/data_folder.h"
#include "config/data_folder_security.h"
#include "config/flags.h"
#include "config/settings.h"
#include "config/trusted_files.h"
#include "flag_files.h"
#include "log.h"
#include "log_targets.h"
#include "run_cleanup.h"
#include "run_scan.h"
#include "service_log.h"
#include "without_exceptions.h"
#include "worker_events.h"

namespace tindral {

namespace {

using Clock = std::chrono::steady_clock;

// One run of the loop: the paths built once from the data folder, and the reading of the
// monotonic clock at the end of the last scan.
class Worker {
 public:
  explicit Worker(const WorkerSetup& setup)
      : setup_(setup),
        fs_(*setup.fs),
        flags_(fs_, setup.data_folder),
        config_path_(setup.data_folder.child(kConfigFileName)),
        settings_path_(setup.data_folder.child(kSettingsFileName)),
        log_path_(setup.data_folder.child(kServiceLogFileName)) {
    if (setup.watcher) {
      changes_.emplace(fs_, *setup.watcher, setup.now,
                       [this](std::string_view message) { log_message(message); });
    }
  }

  void run() {
    start_up();
    while (!stop_wanted()) run_pass();
  }

 private:
  // Every message goes to the structured log and to service.log; the file is bookkeeping, so a
  // failure to write it is dropped (the structured log already has the line). Those that need
  // an administrator also go to the event log.
  void log_message(std::string_view message) {
    log::info(log::kTargetServiceImpl, message);
    secure_if_missing();
    static_cast<void>(append_service_log(fs_, log_path_, message));
    if (const std::optional<log::Level> level = worker_event_level(message)) {
      log::report_event(*level, message);
    }
  }

  // The scanner has logged these as its own warnings, which the event log receives as well;
  // service.log, where administrators look, gets them once per scan or cleanup, before its
  // summary.
  void copy_to_service_log(const std::vector<std::string>& skipped_roots) {
    if (!skipped_roots.empty()) secure_if_missing();
    for (const std::string& warning : skipped_roots) {
      static_cast<void>(append_service_log(fs_, log_path_, warning));
    }
  }

  void start_up() {
    // Before anything is read from the data folder: only administrators may steer a service
    // that acts with the machine's highest privileges.
    const Result<DataFolderSecuring> securing = secure(FilesInside::WhenRepaired);
    log_message("Tindral Service started");
    report_securing(securing);
    if (secured_) scan_if_configured();
    last_scan_ = setup_.now();
  }

  void scan_if_configured() {
    report_untrusted_files();
    if (is_trusted_data_file(fs_, config_path_)) {
      scan("Initial scan");
    } else {
      log_message("No config.txt found. Please configure root paths.");
    }
  }

  Result<DataFolderSecuring> secure(FilesInside files) {
    Result<DataFolderSecuring> securing =
        secure_data_folder(fs_, setup_.data_folder, setup_.default_icon, files);
    secured_ = securing.ok();
    return securing;
  }

  // Why the folder could not be secured is said once per start, not at every attempt.
  void report_securing(const Result<DataFolderSecuring>& securing) {
    if (!securing && reported_unsecured_) return;
    reported_unsecured_ = reported_unsecured_ || !securing;
    for (const std::string& line : data_folder_report(securing)) log_message(line);
  }

  // At the head of every pass after the sleep. While the folder cannot be secured, nothing in it
  // counts: no flag is served and no scan runs, and securing is tried again. Once it succeeds,
  // the start-up scan follows. A folder that is no longer the administrators' alone (made again
  // by somebody after it was deleted, say) is secured again as at the start.
  bool keep_data_folder_secured() {
    if (data_folder_still_secured()) return true;
    const bool was_secured = secured_;
    report_securing(secure(was_secured ? FilesInside::WhenRepaired : FilesInside::Always));
    if (!secured_) return false;
    if (was_secured) return true;
    scan_if_configured();
    last_scan_ = setup_.now();
    return false;
  }

  bool data_folder_still_secured() {
    if (!secured_) return false;
    Result<platform::Trust> now = fs_.trust(setup_.data_folder);
    if (now) return *now == platform::Trust::Administrators;
    return now.error().is_not_found();
  }

  // The log writer creates a missing data folder; one that was deleted while the service runs
  // is made first the way the service makes it, never with the permissions it would inherit.
  void secure_if_missing() {
    Result<platform::FileType> type = fs_.file_type(setup_.data_folder);
    if (!type && type.error().is_not_found()) {
      static_cast<void>(fs_.secure_folder(setup_.data_folder));
    }
  }

  // A file of the data folder that does not count is reported once for each reason, not at
  // every pass; while the folder is not secured, nothing in it counts anyway.
  void report_untrusted_files() {
    if (!secured_) return;
    for (std::string_view name : {kConfigFileName, kSettingsFileName, kStopFlagName,
                                  kCleanupFlagName, kPausedFlagName, kRescanFlagName}) {
      const std::optional<std::string_view> reason =
          distrust_reason(fs_, setup_.data_folder.child(name));
      if (!reason) continue;
      std::string message = "Ignoring " + std::string(name) + ": " + std::string(*reason);
      if (reported_.insert(message).second) log_message(message);
    }
  }

  // The stop test at the head of every pass. stop.flag comes first so that it is deleted even
  // when the service manager asked for the stop as well; otherwise it would end the next start.
  bool stop_wanted() {
    report_untrusted_files();
    if (secured_ && flags_.present(Flag::Stop)) {
      log_message("Stop flag detected, shutting down service");
      flags_.remove(Flag::Stop);
      log_message("Tindral Service stopped");
      return true;
    }
    if (stop_requested()) {
      log_message("Stop requested by the service manager, shutting down service");
      log_message("Tindral Service stopped");
      return true;
    }
    return false;
  }

  bool stop_requested() const { return setup_.stop != nullptr && setup_.stop->requested(); }

  const platform::StopSignal& stop_signal() const {
    return setup_.stop != nullptr ? *setup_.stop : never_raised_;
  }

  // Flags are served in order of precedence, at most one per pass.
  void run_pass() {
    wait_for_next_pass();
    // A stop that ended the sleep early is served at the stop test right away rather than after
    // a cleanup or scan that could take minutes.
    if (stop_requested()) return;
    if (!keep_data_folder_secured()) return;
    if (flags_.present(Flag::Cleanup)) {
      clean_up();
      return;
    }
    if (flags_.present(Flag::Paused)) return;
    if (flags_.present(Flag::Rescan)) {
      log_message("On-demand rescan triggered");
      flags_.remove(Flag::Rescan);
      scan_and_restart_interval();
      return;
    }
    const Settings settings = current_settings();
    follow_watch_setting(settings);
    const std::uint32_t interval =
        settings.interval != 0 ? settings.interval : kDefaultIntervalMinutes;
    if (whole_seconds_since_last_scan() >= std::uint64_t{interval} * 60) {
      log_message("Periodic rescan due (interval: " + std::to_string(interval) + " min)");
      scan_and_restart_interval();
      return;
    }
    if (changes_) {
      // Changes that waited for a pause to end, and roots that are other folders now.
      work_on_changes(&ChangeUpdates::act);
      work_on_changes(&ChangeUpdates::check_roots);
    }
  }

  // What throws while changes are acted on (an allocation that fails in a huge folder, say) is
  // said like a scan's error; the next scan looks at everything anyway.
  void work_on_changes(void (ChangeUpdates::*work)(const platform::StopSignal&)) {
    Result<void> done = without_exceptions([&]() -> Result<void> {
      ((*changes_).*work)(stop_signal());
      return {};
    });
    if (!done) log_message("Update error: " + done.error().message());
  }

  // Until the next pass is due: asleep, or woken by changes below the roots and acting on them
  // where the pass itself would act. Changes never move the pass: it comes POLL_INTERVAL after
  // the last one began, or right after the work on changes that reached past that.
  void wait_for_next_pass() {
    if (!changes_ || !changes_->watching()) {
      setup_.sleep(POLL_INTERVAL);
      return;
    }
    const Clock::time_point due = setup_.now() + POLL_INTERVAL;
    while (changes_->wait_for_changes(due, stop_signal())) {
      if (may_act_on_changes()) work_on_changes(&ChangeUpdates::act);
    }
  }

  // Changes wait, bounded, while the service is paused or about to clean up, or while nothing in
  // its data folder counts; the pass that ends that acts on them.
  bool may_act_on_changes() {
    return !stop_requested() && data_folder_still_secured() && !flags_.present(Flag::Cleanup) &&
           !flags_.present(Flag::Paused);
  }

  void follow_watch_setting(const Settings& settings) {
    if (changes_ && !settings.watch) changes_->stop_watching();
  }

  void clean_up() {
    flags_.remove(Flag::Cleanup);
    flags_.create_paused();
    log_message("Cleanup requested \u2014 removing all desktop.ini files and pausing service");
    Result<CleanupStats> stats = without_exceptions(
        [&] { return run_cleanup(fs_, config_path_, interactive_user, setup_.stop); });
    if (stats) {
      copy_to_service_log(stats->skipped_roots);
      log_message(cleanup_summary(*stats));
      if (auto warning = cleanup_failures_warning(*stats)) log_message(*warning);
    } else {
      log_message("Cleanup error: " + stats.error().message());
    }
  }

  // A stop request reaches into the scan, which ends at the next folder; the stop test that
  // follows serves it.
  void scan(std::string_view name) {
    const ScanWatch* watch = scan_watch();
    Result<ScanStats> stats = without_exceptions(
        [&] { return run_scan(fs_, config_path_, interactive_user, setup_.stop, watch); });
    if (stats) {
      copy_to_service_log(stats->skipped_roots);
      log_message(scan_summary(name, *stats, 2));
      if (auto warning = scan_failures_warning(*stats)) log_message(*warning);
    } else {
      log_message("Scan error: " + stats.error().message());
    }
  }

  // Every full scan watches the roots it walks afresh, unless settings.txt turns watching off.
  const ScanWatch* scan_watch() {
    if (!changes_) return nullptr;
    if (!current_settings().watch) {
      changes_->stop_watching();
      return nullptr;
    }
    return &changes_->scan_watch();
  }

  // A failed scan restarts the interval too, so that it is retried only after a full one.
  void scan_and_restart_interval() {
    scan("Scan");
    last_scan_ = setup_.now();
  }

  // settings.txt is read afresh for every test so that an edit needs no restart; an unreadable
  // file counts as the defaults.
  Settings current_settings() {
    Result<Settings> loaded = load_settings(fs_, settings_path_);
    return loaded ? *std::move(loaded) : default_settings();
  }

  // Whole seconds only: 59.9 seconds are 59.
  std::uint64_t whole_seconds_since_last_scan() const {
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::seconds>(setup_.now() - last_scan_);
    return elapsed.count() > 0 ? static_cast<std::uint64_t>(elapsed.count()) : 0;
  }

  const WorkerSetup& setup_;
  platform::FileSystem& fs_;
  const FlagFiles flags_;
  const Path config_path_;
  const Path settings_path_;
  const Path log_path_;
  Clock::time_point last_scan_{};
  std::set<std::string> reported_;
  bool secured_ = false;
  bool reported_unsecured_ = false;
  const platform::StopSignal never_raised_;
  std::optional<ChangeUpdates> changes_;
};

}  // namespace

WorkerSetup production_worker_setup(platform::StopSignal& stop) {
  WorkerSetup setup;
  setup.fs = &platform::real_file_system();
  setup.data_folder = data_folder();
  setup.now = [] { return Clock::now(); };
  setup.sleep = [&stop](std::chrono::milliseconds duration) { stop.sleep_for(duration); };
  setup.stop = &stop;
  Result<Path> icon = default_icon_path();
  if (icon) setup.default_icon = *icon;
  setup.watcher = platform::make_change_watcher();
  return setup;
}

void run_service_loop(const WorkerSetup& setup) { Worker(setup).run(); }

}  // namespace tindral
