#include "run/history.h"

#include <algorithm>

#include "history/backup_names.h"
#include "run/backup.h"
#include "run/guarded.h"
#include "run/run.h"

namespace {

// The backup folder of a source, as a backup run names it ("backup/conf").
std::string backup_folder_of(std::string_view source) {
    const std::string target = compose_target(source, "", BackupSettings{});
    return target.substr(0, target.rfind(platform::folder_separator));
}

Failure failed(std::string_view message, std::string_view what, platform::ErrorCode error) {
    return with_reason(status_backup_failed, std::string(message) + std::string(what), error);
}

Failure no_backup(std::string_view source) {
    return Failure{status_missing_source, "No backup of: " + std::string(source)};
}

// The instants a stamp's local time stands for.
std::vector<Instant> instants_of_stamp(StampValue stamp) {
    return platform::instants_of(stamp_fields(stamp));
}

// The backups of a source of the state at its name; none where that or its
// backup folder cannot be read.
std::optional<std::vector<BackupEntry>> backups_of_source(const std::string& source, SourceState& state,
                                                          platform::ErrorCode& error) {
    if (!look_at(source, state, error)) return std::nullopt;
    return backups_of(source, state, error);
}

// The newest backup of a source made by the time given, where given, and
// what stands at the source's name; status 2 where there is none, 3 where
// the folder cannot be read.
std::optional<Failure> choose_backup(const std::string& source, std::optional<StampValue> by,
                                     std::vector<BackupEntry>& chosen, std::vector<SourceState>& states) {
    SourceState state;
    platform::ErrorCode error = 0;
    std::optional<std::vector<BackupEntry>> found = backups_of_source(source, state, error);
    if (!found) return failed("Restore failed: ", source, error);
    states.push_back(state);
    // A time given that came twice stands for the later of the two.
    const std::optional<std::size_t> newest =
        by ? newest_made_by(*found, instants_of_stamp(*by).back()) : std::optional<std::size_t>(0);
    if (!newest || *newest >= found->size()) return no_backup(source);
    chosen.push_back(std::move((*found)[*newest]));
    return std::nullopt;
}

// Whether a source equals a backup of it: a file byte for byte, a folder
// entry for entry; permission bits and owners only where the backup's file
// system keeps them.
bool same_as_backup(const std::string& source, const BackupEntry& backup) {
    return guarded_call([&] {
               const bool permissions = platform::keeps_permissions(backup_folder_of(source));
               return backup.folder ? platform::same_tree(source, backup.path, permissions)
                                    : platform::same_file(source, backup.path, permissions);
           })
        .result;
}

}  // namespace

bool look_at(const std::string& source, SourceState& state, platform::ErrorCode& error) {
    const auto status = guarded_call([&] { return platform::entry_status(source, true); });
    state = {};
    if (status.result) state = {status.result->kind, status.result->owner};
    error = status.error;
    return !status.failed;
}

std::optional<std::vector<BackupEntry>> backups_of(std::string_view source, const SourceState& state,
                                                   platform::ErrorCode& error) {
    const std::string folder = backup_folder_of(source);
    const std::string_view file_name = source_last_part(source);
    const auto wanted = [&](std::string_view name) { return backup_stamp(file_name, name).has_value(); };
    std::vector<platform::FolderEntry> entries;
    // A backup whose time cannot be told cannot be placed among the others:
    // the list is not to be trusted without it.
    const auto read = guarded_call([&] { return platform::folder_entries(folder, wanted, entries); });
    error = read.error;
    if (read.failed) return std::nullopt;
    const UserId runner = platform::user_id();
    std::vector<BackupEntry> found;
    for (const auto& [name, status] : entries) {
        if (status.kind == platform::EntryKind::other || !owner_counts(status.owner, runner, state.owner)) continue;
        const bool is_folder = status.kind == platform::EntryKind::folder;
        if (state.kind && (*state.kind == platform::EntryKind::folder) != is_folder) continue;
        const BackupStamp stamp = *backup_stamp(file_name, name);
        const std::vector<Instant> instants = stamp.both_parts ? instants_of_stamp(stamp.value) : std::vector<Instant>{};
        found.push_back({folder + platform::folder_separator + name, made_at(stamp, instants, status.changed), is_folder,
                         began_at(stamp, instants), stamp.both_parts ? stamp_fields(stamp.value) : status.changed_locally});
    }
    sort_newest_first(found);
    return found;
}

std::optional<Failure> list_backups(const Request& request) {
    const char end = request.null_ends ? '\0' : '\n';
    for (const std::string& source : request.sources) {
        SourceState state;
        platform::ErrorCode error = 0;
        const std::optional<std::vector<BackupEntry>> found = backups_of_source(source, state, error);
        if (!found) return failed("List failed: ", source, error);
        if (found->empty()) return no_backup(source);
        std::string lines;
        for (const BackupEntry& backup : *found) (lines += backup.path) += end;
        print_answer(lines);
    }
    return std::nullopt;
}

std::optional<Failure> restore_backups(const Request& request, const BackupSettings& settings, std::string& stamp) {
    std::vector<BackupEntry> chosen;
    std::vector<SourceState> states;
    for (const std::string& source : request.sources) {
        // Nobody else's link at the name may send the restore elsewhere.
        const auto trusted = guarded_call([&] { return platform::links_trusted(source); });
        if (!trusted.result) return failed("Restore failed: ", source, trusted.error);
        if (auto failure = choose_backup(source, request.at, chosen, states)) return failure;
    }
    BackupSettings copying = settings;
    copying.copy = 1;
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        const std::string& source = request.sources[i];
        const bool stands = states[i].kind.has_value();
        if (stands && same_as_backup(source, chosen[i])) continue;
        std::vector<platform::Transfer> current;
        if (stands) {
            current.push_back({source, compose_target(source, build_suffix(stamp, settings), settings)});
            // The backup of the file as it is would take the place of the one
            // to be restored (the same name, with -unique, on the same day).
            if (current.front().target == chosen[i].path) return failed("Restore failed: ", source, 0);
            if (request.dry_run) {
                print_answer("+ " + current.front().target + "\n");
            } else if (auto failure = transfer_files(current, copying, stamp)) {
                return failure;
            }
        }
        if (request.dry_run) {
            print_answer("+ " + source + "\n");
            continue;
        }
        const auto restored = guarded_call([&] { return platform::restore_backup(chosen[i].path, source); },
                                           FailureRule::error_set_and_result_false);
        if (!restored.result) {
            // Where nothing was restored (only a last flush may fail after the
            // file took the backup's content), the backup of the version that
            // stays goes again, so that a failed attempt leaves no more behind.
            if (!current.empty() && !same_as_backup(source, chosen[i])) {
                const std::string made = current.front().target;
                guarded_call([&] { return platform::remove_backups({&made, 1}) == 1; });
            }
            return failed("Restore failed: ", source, restored.error);
        }
    }
    return std::nullopt;
}

void share_unchanged(std::vector<platform::Transfer>& transfers) {
    for (platform::Transfer& transfer : transfers) {
        SourceState state;
        platform::ErrorCode error = 0;
        if (!look_at(transfer.source, state, error) || state.kind != platform::EntryKind::folder) continue;
        const std::optional<std::vector<BackupEntry>> found = backups_of(transfer.source, state, error);
        if (!found || found->empty()) continue;
        transfer.shares_with = found->front().path;
        transfer.shared_began = found->front().began;
    }
}

void leave_out_unchanged(std::vector<platform::Transfer>& transfers) {
    std::erase_if(transfers, [](const platform::Transfer& transfer) {
        SourceState state;
        platform::ErrorCode error = 0;
        const std::optional<std::vector<BackupEntry>> found = backups_of_source(transfer.source, state, error);
        return state.kind && found && !found->empty() && same_as_backup(transfer.source, found->front());
    });
}

std::optional<Failure> keep_backups(const std::vector<RunSource>& sources, const Retention& rules, bool dry_run,
                                    std::string_view stamp) {
    std::vector<std::string> removed;
    std::string lines;
    for (const RunSource& source : sources) {
        platform::ErrorCode error = 0;
        std::optional<std::vector<BackupEntry>> found = backups_of(source.source, source.state, error);
        if (!found) return failed("Removal failed: ", backup_folder_of(source.source), error);
        if (dry_run && !source.made.empty()) {
            std::erase_if(*found, [&](const BackupEntry& backup) { return backup.path == source.made; });
            const StampValue run_time = parse_stamp(stamp).value_or(0);
            found->push_back({source.made, instants_of_stamp(run_time).back(),
                              source.state.kind == platform::EntryKind::folder, 0, stamp_fields(run_time)});
            sort_newest_first(*found);
        }
        std::vector<mivo_systemtime> calendar;
        std::optional<std::size_t> spared;
        for (const BackupEntry& backup : *found) {
            if (backup.path == source.made) spared = calendar.size();
            calendar.push_back(backup.calendar);
        }
        const std::vector<Kept> kept = apply_retention(rules, calendar, spared);
        // Oldest first, and never the backup this run made.
        for (std::size_t i = found->size(); i-- > 0;) {
            if (!kept[i].kept()) removed.push_back(std::move((*found)[i].path));
        }
        for (std::size_t i = 0; i < found->size(); ++i) {
            if (kept[i].kept() && i != spared) lines += "= " + (*found)[i].path + " " + reasons_text(kept[i]) + "\n";
        }
    }
    if (dry_run) {
        for (const std::string& path : removed) lines += "- " + path + "\n";
        print_answer(lines);
        return std::nullopt;
    }
    std::size_t done = 0;
    const auto removal = guarded_call(
        [&] {
            done = platform::remove_backups(removed);
            return done == removed.size();
        },
        FailureRule::error_set_and_result_false);
    if (done < removed.size()) return failed("Removal failed: ", removed[done], removal.error);
    return std::nullopt;
}
