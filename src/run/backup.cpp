#include "run/backup.h"

#include <algorithm>

#include "platform/platform.h"
#include "run/guarded.h"
#include "stamp/stamp.h"

namespace {

constexpr std::string_view backup_failed = "Backup failed: ";

}  // namespace

platform::ErrorCode make_backup_folder() {
    return guarded_call([] { return platform::create_folder(std::string(backup_folder_name)); }).error;
}

Failure with_reason(std::int32_t status, std::string message, platform::ErrorCode error) {
    if constexpr (platform::posix_conventions) {
        if (error != 0) (message += ": ") += platform::error_text(error);
    }
    return Failure{status, std::move(message)};
}

Failure failed(std::string_view message, std::string_view what, platform::ErrorCode error) {
    return with_reason(status_backup_failed, std::string(message) + std::string(what), error);
}

std::optional<Failure> check_sources(const std::vector<std::string>& sources) {
    for (const std::string& source : sources) {
        if (source.find_first_of("*?") != std::string::npos) {
            return Failure{status_missing_source, "File does not exist: " + source};
        }
    }
    // POSIX runs name many files at once (a shell's *.log): their folder is
    // read once for them all.
    std::vector<platform::ErrorCode> errors(sources.size(), 0);
    if constexpr (platform::posix_conventions) {
        errors = platform::paths_standing(sources);
    } else {
        for (std::size_t i = 0; i < sources.size(); ++i) {
            errors[i] = guarded_call([&] { return platform::path_exists(sources[i]); }).error;
        }
    }
    for (std::size_t i = 0; i < sources.size(); ++i) {
        if (errors[i] == 0) continue;
        if (platform::is_fatal_error(errors[i])) platform::exit_process(fatal_exit_code);
        // The message says it where nothing is there; any other reason is told.
        return with_reason(status_missing_source, "File does not exist: " + sources[i],
                           platform::nothing_there(errors[i]) ? 0 : errors[i]);
    }
    return std::nullopt;
}

std::optional<Failure> check_target(std::string_view source, const std::string& target, const BackupSettings& settings) {
    // A folder's snapshot would be copied into itself: refused before
    // anything is made, however the folder is named. (A move of a folder is
    // a rename, which the system refuses into the folder itself.)
    if constexpr (platform::posix_conventions) {
        if (settings.copy == 1 && platform::holds_folder(std::string(source), std::string(backup_folder_name))) {
            return with_reason(status_backup_failed, std::string(backup_failed) + target, platform::holds_backup_folder);
        }
    }
    // On POSIX the source's folder parts go into the target; a last part ".."
    // would not show there as one.
    if (!leaves_backup_folder(platform::posix_conventions ? source : target)) return std::nullopt;
    return Failure{status_backup_failed, std::string(backup_failed) + target};
}

std::string current_stamp() {
    mivo_text current = mivo_current_date();
    // Out of memory: the fatal status, with no output.
    if (current == nullptr) platform::exit_process(fatal_exit_code);
    return platform::release_result_text(current);
}

bool whole_stamp(const BackupSettings& settings) {
    return platform::posix_conventions && settings.unique_date == 1 && settings.unique_time == 1;
}

namespace {

// Each of these waits takes a moment; a hundred of them outlast any other
// run's names taken in one hundredth.
constexpr int most_new_stamps = 100;

std::string next_stamp(const std::string& stamp) {
    std::string next = stamp;
    if constexpr (platform::posix_conventions) {
        while (next == stamp) {
            platform::pause_briefly();
            next = current_stamp();
        }
    }
    return next;
}

bool any_target_stands(const std::vector<std::string>& sources, std::string_view suffix,
                       const BackupSettings& settings) {
    std::vector<std::string> targets;
    targets.reserve(sources.size());
    for (const std::string& source : sources) targets.push_back(compose_target(source, suffix, settings));
    return platform::any_path_exists(targets);
}

}  // namespace

std::string unused_stamp(std::string stamp, const BackupSettings& settings,
                         const std::vector<std::string>& sources) {
    if constexpr (platform::posix_conventions) {
        if (!whole_stamp(settings)) return stamp;
        for (int i = 0; i < most_new_stamps && any_target_stands(sources, build_suffix(stamp, settings), settings);
             ++i) {
            stamp = next_stamp(stamp);
        }
    }
    return stamp;
}

std::optional<Failure> transfer_files(std::vector<platform::Transfer>& transfers, const BackupSettings& settings,
                                      std::string& stamp) {
    const bool renamed_when_taken = whole_stamp(settings);
    std::size_t done = 0;
    std::optional<Failure> writes_lost;
    for (int tries = 0;; ++tries) {
        const std::span<const platform::Transfer> rest(transfers.begin() + static_cast<std::ptrdiff_t>(done),
                                                       transfers.end());
        // Where not all were made, that is a failure whatever the error
        // says, and where all were, a success: a backup that was not made is
        // never reported as made.
        platform::Batch batch;
        const auto outcome = guarded_call(
            [&] {
                batch = settings.copy == 1 ? platform::copy_files(rest, !renamed_when_taken)
                                           : platform::move_files_without_replacing(rest);
                return Outcome<bool>{batch.made == rest.size(), batch.error};
            },
            FailureRule::error_set_and_result_false);
        if (batch.writes_lost && !writes_lost) {
            // The move is made, and its backup holds the file as it was when
            // it went; what a writer added after that is not in it.
            const platform::Transfer& moved = transfers[done + batch.writes_lost->first];
            writes_lost = with_reason(status_backup_failed,
                                      std::string(backup_failed) + moved.target + ": writes made to " + moved.source +
                                          " while it was moved were not kept",
                                      batch.writes_lost->second);
        }
        done += batch.made;
        if (done == transfers.size()) return writes_lost;
        if (!renamed_when_taken || !platform::name_taken(outcome.error) || tries == most_new_stamps) {
            std::string message = std::string(backup_failed) + transfers[done].target;
            // A snapshot names the entry that it could not copy.
            if (!batch.failed_entry.empty()) (message += ": ") += batch.failed_entry;
            return with_reason(status_backup_failed, std::move(message), outcome.error);
        }
        stamp = next_stamp(stamp);
        const std::string suffix = build_suffix(stamp, settings);
        for (std::size_t i = done; i < transfers.size(); ++i) {
            transfers[i].target = compose_target(transfers[i].source, suffix, settings);
            transfers[i].record = record_of_suffix(suffix);
        }
    }
}
