#include "run/run.h"

#include <algorithm>
#include <unordered_set>
#include <vector>

#include "cmdline/cmdline.h"
#include "platform/platform.h"
#include "run/backup.h"
#include "run/diff.h"
#include "run/guarded.h"
#include "run/history.h"
#include "run/keep.h"
#include "run/list.h"
#include "core/settings.h"
#include "run/restore.h"
#include "run/verify.h"

namespace {

constexpr std::string_view line_end = "\r\n";

// The exit step: the "ErrorLevel:" line for a failure, then the end of the process.
[[noreturn]] void exit_run(std::int32_t status) {
    if (status != status_ok && status != status_differs) print_line(error_level_line(status));
    platform::exit_process(status);
}

void write_guarded(std::string_view bytes) {
    guarded_call([&] { return platform::write_stdout(bytes); });
}

}  // namespace

std::string error_level_line(std::int32_t status) {
    std::string line = "ErrorLevel:";
    line += status < 0 ? '-' : ' ';
    // Widened so that the lowest value can be negated.
    const std::int64_t magnitude = status < 0 ? -static_cast<std::int64_t>(status) : status;
    line += std::to_string(magnitude);
    return line;
}

void print_line(std::string_view text) {
    if constexpr (platform::posix_conventions) {
        const std::string line = std::string(text) + "\n";
        guarded_call([&] { return platform::write_stderr(line); });
    } else {
        if (!text.empty()) write_guarded(text);
        write_guarded(line_end);
    }
}

void print_answer(std::string_view text) {
    write_guarded(text);
}

void print_usage() {
    for (const std::string_view line : usage_lines) print_line(line);
}

void fail(const Failure& failure) {
    print_line(failure.message);
    if (failure.status == status_no_arguments) print_usage();
    exit_run(failure.status);
}

void out_of_memory() {
    platform::exit_process(fatal_exit_code);
}

namespace {

// One run at a time changes a backup folder: a --keep of one run never
// removes what another is reading or sharing. Where the folder cannot be
// locked at all, the steps after it find why.
void hold_backup_folder(const Request& request) {
    if constexpr (platform::posix_conventions) {
        const std::string folder(backup_folder_name);
        const auto locked = guarded_call([&] { return platform::lock_folder(folder, !request.no_wait); });
        if (locked.failed && platform::in_use(locked.error)) {
            fail({status_folder_in_use, "Backup folder in use: " + folder});
        }
    }
}

// A folder's snapshot shares its unchanged files with the snapshot before
// it; chosen under the lock, so that no other run removes that one meanwhile.
void share_with_earlier(const Request& request, const BackupSettings& settings,
                        std::vector<platform::Transfer>& backups) {
    if constexpr (platform::posix_conventions) {
        if (settings.copy == 1 && !request.no_share) share_unchanged(backups);
    }
}

// Where standard error is a terminal, a long run shows its progress there
// from the start of its copies, unless asked not to.
void show_progress(const Request& request) {
    if constexpr (platform::posix_conventions) {
        if (!request.quiet) platform::show_progress();
    }
}

// The POSIX tasks on a file's backups (listing, comparing, restoring), and the dry run and the keeping of a
// backup run; each ends the run where it is its whole work.
void list_or_restore(const Request& request, const BackupSettings& settings, std::string& stamp) {
    if constexpr (platform::posix_conventions) {
        if (request.task == Task::list) {
            if (auto failure = list_versions(request)) fail(*failure);
            exit_run(status_ok);
        }
        if (request.task == Task::verify) {
            show_progress(request);
            exit_run(verify_backups(request));
        }
        if (request.task == Task::diff) {
            std::int32_t status = status_ok;
            if (auto failure = diff_versions(request, status)) fail(*failure);
            exit_run(status);
        }
        if (request.task == Task::restore) {
            if (!request.dry_run) {
                hold_backup_folder(request);
                // Standard output may be the terminal the line would be drawn on.
                if (request.output != "-") show_progress(request);
            }
            if (auto failure = restore_versions(request, settings, stamp)) fail(*failure);
            exit_run(status_ok);
        }
    }
}

// What stood at each source's name, before the run moves it, for --keep.
std::vector<RunSource> run_sources(const Request& request, const std::vector<platform::Transfer>& backups) {
    std::vector<RunSource> sources;
    if constexpr (platform::posix_conventions) {
        if (!request.keep.any()) return sources;
        for (const platform::Transfer& backup : backups) {
            SourceState state;
            platform::ErrorCode error = 0;
            if (!look_at(backup.source, state, error)) {
                fail(with_reason(status_backup_failed, "Backup failed: " + backup.target, error));
            }
            sources.push_back({backup.source, state, backup.target});
        }
    }
    return sources;
}

// Leaves out unchanged copies; a dry run says what would be made and removed.
void before_transfer(const Request& request, std::vector<platform::Transfer>& backups,
                     std::vector<RunSource>& sources, std::string_view stamp) {
    if constexpr (platform::posix_conventions) {
        if (request.if_changed) {
            leave_out_unchanged(backups);
            for (RunSource& source : sources) {
                const auto made = [&](const platform::Transfer& backup) { return backup.target == source.made; };
                if (std::none_of(backups.begin(), backups.end(), made)) source.made.clear();
            }
        }
        if (!request.dry_run) return;
        print_planned(backups, stamp, request.json);
        if (request.keep.any()) {
            if (auto failure = keep_backups(sources, request.keep, request.json ? Plan::json : Plan::lines, stamp)) {
                fail(*failure);
            }
        }
        exit_run(status_ok);
    }
}

// The backups made may have taken a later stamp than the one planned
// (another run took a name), and --keep spares the ones made.
void after_transfer(const Request& request, const std::vector<platform::Transfer>& backups,
                    std::vector<RunSource>& sources) {
    if constexpr (platform::posix_conventions) {
        if (!request.keep.any()) return;
        for (RunSource& source : sources) {
            const auto made = std::find_if(backups.begin(), backups.end(),
                                           [&](const platform::Transfer& backup) { return backup.source == source.source; });
            if (made != backups.end()) source.made = made->target;
        }
        if (auto failure = keep_backups(sources, request.keep, Plan::none, {})) fail(*failure);
    }
}

}  // namespace

void run() {
    BackupSettings settings;
    Request request;
    if (auto failure = parse_command_line(settings, request)) fail(*failure);
    if (!request.answer.empty()) {
        for (const std::string_view line : request.answer) {
            // POSIX answers end their lines as the system's other tools do.
            if (platform::posix_conventions) {
                print_answer(std::string(line) + "\n");
            } else {
                print_line(line);
            }
        }
        exit_run(status_ok);
    }
    std::string stamp = current_stamp();
    if (request.task != Task::list && request.task != Task::verify) {
        stamp = unused_stamp(stamp, settings, request.sources);
    }
    const std::string suffix = build_suffix(stamp, settings);
    list_or_restore(request, settings, stamp);
    // On Windows the backup folder is made before the file is checked; on
    // POSIX only once every file was checked, so that a run that fails
    // there leaves nothing behind.
    if (!platform::posix_conventions) make_backup_folder();
    // Every file is checked before any is touched; a file named twice (or by
    // two names with the same target) is backed up once.
    if (auto failure = check_sources(request.sources)) fail(*failure);
    std::vector<platform::Transfer> backups;
    std::unordered_set<std::string> targets;
    for (std::string& source : request.sources) {
        std::string target = compose_target(source, suffix, settings);
        if (auto failure = check_target(source, target, settings)) fail(*failure);
        if (targets.insert(target).second) {
            backups.push_back({std::move(source), std::move(target), {}, request.excludes, record_of_suffix(suffix)});
        }
    }
    std::vector<RunSource> sources = run_sources(request, backups);
    before_transfer(request, backups, sources, stamp);
    if (platform::posix_conventions) {
        // Where the folder could not be made, that is why the backups fail.
        if (const platform::ErrorCode error = make_backup_folder(); error != 0 && !platform::name_taken(error)) {
            fail(with_reason(status_backup_failed, "Backup failed: " + backups.front().target, error));
        }
        hold_backup_folder(request);
        share_with_earlier(request, settings, backups);
        show_progress(request);
    }
    if (auto failure = transfer_files(backups, settings, stamp)) fail(*failure);
    after_transfer(request, backups, sources);
    exit_run(status_ok);
}
