#include "run/history.h"

#include <algorithm>
#include <cerrno>

#include "names/backup_names.h"
#include "history/json_lines.h"
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
                                                          platform::ErrorCode& error, bool sizes = false) {
    if (!look_at(source, state, error)) return std::nullopt;
    return backups_of(source, state, error, sizes);
}

// The newest backup of a source made by the time given, where given, and
// what stands at the source's name; status 2 where there is none, 3 where
// the folder cannot be read.
std::optional<Failure> choose_backup(const std::string& source, std::optional<StampValue> by,
                                     std::vector<BackupEntry>& chosen, std::vector<SourceState>& states,
                                     std::string_view failure = "Restore failed: ") {
    SourceState state;
    platform::ErrorCode error = 0;
    std::optional<std::vector<BackupEntry>> found = backups_of_source(source, state, error);
    if (!found) return failed(failure, source, error);
    states.push_back(state);
    // A time given that came twice stands for the later of the two.
    const std::optional<std::size_t> newest =
        by ? newest_made_by(*found, instants_of_stamp(*by).back()) : std::optional<std::size_t>(0);
    if (!newest || *newest >= found->size()) return no_backup(source);
    chosen.push_back(std::move((*found)[*newest]));
    return std::nullopt;
}

// Whether the backup's file system keeps permission bits and owners, which
// are compared only then; where that cannot be told, they are not.
bool permissions_kept(const std::string& source) {
    const auto keeps = guarded_call([&] { return platform::keeps_permissions(backup_folder_of(source)); });
    return !keeps.failed && keeps.result;
}

// Whether a source equals a backup of it: a file byte for byte, a folder
// entry for entry but those the patterns leave out; permission bits and
// owners only where the backup's file system keeps them. Where either
// cannot be read, they do not count as equal.
bool same_as_backup(const std::string& source, const BackupEntry& backup, std::span<const std::string> excludes) {
    const bool permissions = permissions_kept(source);
    if (backup.folder) {
        const auto changes = guarded_call(
            [&] { return platform::tree_changes(backup.path, source, permissions, excludes, true); });
        return !changes.failed && changes.result.empty();
    }
    const auto same = guarded_call([&] { return platform::same_file(source, backup.path, permissions); });
    return !same.failed && same.result;
}

// The patterns a backup was made with: a folder snapshot's recorded ones.
std::optional<std::vector<std::string>> excludes_of(const BackupEntry& backup, platform::ErrorCode& error) {
    if (!backup.folder) return std::vector<std::string>{};
    auto read = guarded_call([&] { return platform::recorded_excludes(backup.path); });
    error = read.error;
    if (read.failed) return std::nullopt;
    return std::move(read.result);
}

// The lines of a backup's record that are its own: none where it has none
// (made before records were kept, or by hand) or the record cannot be read.
std::vector<RecordLine> record_of(const BackupEntry& backup) {
    const std::string folder = backup.path.substr(0, backup.path.rfind(platform::folder_separator));
    const std::string name = backup.path.substr(backup.path.rfind(platform::folder_separator) + 1);
    auto read = guarded_call([&] { return platform::recorded_lines(folder, stamp_digits(backup.stamp)); });
    if (read.failed) return {};
    std::erase_if(read.result, [&](const RecordLine& line) { return !belongs_to(line.path, name); });
    return std::move(read.result);
}

std::string_view kind_name(bool folder, bool link) {
    return folder ? "folder" : link ? "link" : "file";
}

// A backup as --json gives it: where it is, its stamp as given to --at and
// as a local time, its kind and a file's size.
std::vector<std::pair<std::string_view, std::string>> backup_members(const BackupEntry& backup) {
    return {{"path", json_string(backup.path)},
            {"stamp", json_string(stamp_digits(backup.stamp))},
            {"time", json_string(iso_local_time(backup.calendar))},
            {"kind", json_string(kind_name(backup.folder, backup.link))},
            {"size", backup.folder ? "null" : std::to_string(backup.size)}};
}

// A file against its backup: diff -u prints what changed, from the backup
// to the file; status 1 where they differ.
std::optional<Failure> diff_file(const std::string& source, const BackupEntry& backup, std::int32_t& status) {
    const std::string arguments[] = {"diff", "-u", "--", backup.path, source};
    const auto ran = guarded_call([&] { return platform::run_program(arguments); });
    if (ran.failed || ran.result > 1) return failed("Diff failed: ", source, ran.error);
    if (ran.result == 1) status = status_differs;
    return std::nullopt;
}

// A folder against its snapshot: a line a changed entry, its path relative
// to the folder; the snapshot's own patterns leave out the same entries.
std::optional<Failure> diff_folder(const std::string& source, const BackupEntry& backup, bool json, std::int32_t& status) {
    platform::ErrorCode error = 0;
    const std::optional<std::vector<std::string>> excludes = excludes_of(backup, error);
    if (!excludes) return failed("Diff failed: ", source, error);
    const bool permissions = permissions_kept(source);
    const auto compared =
        guarded_call([&] { return platform::tree_changes(backup.path, source, permissions, *excludes, false); });
    if (compared.failed) return failed("Diff failed: ", source, compared.error);
    const std::vector<platform::TreeChange>& changes = compared.result;
    std::string lines;
    for (const platform::TreeChange& change : changes) {
        if (!json) {
            (((lines += change.mark) += ' ') += change.path) += '\n';
            continue;
        }
        const bool folder = change.kind == platform::EntryKind::folder;
        lines += json_line({{"path", json_string(change.path)},
                            {"change", json_string(std::string(1, change.mark))},
                            {"kind", json_string(kind_name(folder, change.link))},
                            {"size", folder ? "null" : std::to_string(change.size)},
                            {"backup", json_string(backup.path)},
                            {"stamp", json_string(stamp_digits(backup.stamp))}});
    }
    print_answer(lines);
    if (!changes.empty()) status = status_differs;
    return std::nullopt;
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
                                                   platform::ErrorCode& error, bool sizes) {
    const std::string folder = backup_folder_of(source);
    const std::string_view file_name = source_last_part(source);
    const auto wanted = [&](std::string_view name) { return backup_stamp(file_name, name).has_value(); };
    // A backup whose time cannot be told cannot be placed among the others:
    // the list is not to be trusted without it.
    auto read = guarded_call([&] { return platform::folder_entries(folder, wanted, sizes); });
    error = read.error;
    if (read.failed) return std::nullopt;
    std::vector<platform::FolderEntry>& entries = read.result;
    const UserId runner = platform::user_id();
    std::vector<BackupEntry> found;
    for (platform::FolderEntry& entry : entries) {
        // Where the folder vouches for its names, only the runner or root
        // can have put them there, and they count whoever owns them.
        if (entry.kind == platform::EntryKind::other ||
            (entry.status && !owner_counts(entry.status->owner, runner, state.owner))) {
            continue;
        }
        const bool is_folder = entry.kind == platform::EntryKind::folder;
        if (state.kind && (*state.kind == platform::EntryKind::folder) != is_folder) continue;
        const BackupStamp stamp = *backup_stamp(file_name, entry.name);
        const std::vector<Instant> instants = stamp.both_parts ? instants_of_stamp(stamp.value) : std::vector<Instant>{};
        std::string path = folder;
        (path += platform::folder_separator) += entry.name;
        // Where the stamp alone does not place a backup, its change time
        // does, or in the hour that repeats chooses between the stamp's two
        // instants.
        if (!entry.status && !stamp_places(stamp, instants)) {
            const auto looked = guarded_call([&] { return platform::entry_status(path, false); });
            error = looked.error;
            if (looked.failed) return std::nullopt;
            if (!looked.result) continue;
            entry.status = looked.result;
        }
        const Instant changed = entry.status ? entry.status->changed : 0;
        found.push_back({std::move(path), made_at(stamp, instants, changed), is_folder, began_at(stamp, instants),
                         stamp.both_parts ? stamp_fields(stamp.value) : entry.status->changed_locally, stamp, entry.link,
                         entry.status ? entry.status->size : 0});
    }
    sort_newest_first(found);
    return found;
}

std::optional<Failure> list_backups(const Request& request) {
    const char end = request.null_ends ? '\0' : '\n';
    for (const std::string& source : request.sources) {
        SourceState state;
        platform::ErrorCode error = 0;
        const std::optional<std::vector<BackupEntry>> found = backups_of_source(source, state, error, request.json);
        if (!found) return failed("List failed: ", source, error);
        if (found->empty()) return no_backup(source);
        std::string lines;
        for (const BackupEntry& backup : *found) {
            if (request.json) {
                lines += json_line(backup_members(backup));
            } else {
                (lines += backup.path) += end;
            }
        }
        print_answer(lines);
    }
    return std::nullopt;
}

std::optional<Failure> diff_backups(const Request& request, std::int32_t& status) {
    for (const std::string& source : request.sources) {
        std::vector<BackupEntry> chosen;
        std::vector<SourceState> states;
        if (auto failure = choose_backup(source, request.at, chosen, states, "Diff failed: ")) return failure;
        if (!states.front().kind) return failed("Diff failed: ", source, ENOENT);
        if (auto failure = chosen.front().folder ? diff_folder(source, chosen.front(), request.json, status)
                                                 : diff_file(source, chosen.front(), status)) {
            return failure;
        }
    }
    return std::nullopt;
}

std::optional<Failure> restore_backups(const Request& request, const BackupSettings& settings, std::string& stamp) {
    std::vector<BackupEntry> chosen;
    std::vector<SourceState> states;
    for (const std::string& source : request.sources) {
        // Nobody else's link at the name may send the restore elsewhere.
        const auto trusted = guarded_call([&] { return platform::links_trusted(source); });
        if (trusted.failed) return failed("Restore failed: ", source, trusted.error);
        if (auto failure = choose_backup(source, request.at, chosen, states)) return failure;
    }
    BackupSettings copying = settings;
    copying.copy = 1;
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        const std::string& source = request.sources[i];
        platform::ErrorCode error = 0;
        const std::optional<std::vector<std::string>> excludes = excludes_of(chosen[i], error);
        if (!excludes) return failed("Restore failed: ", source, error);
        const bool stands = states[i].kind.has_value();
        if (stands && same_as_backup(source, chosen[i], *excludes)) continue;
        std::vector<platform::Transfer> current;
        if (stands) {
            // What the backup leaves out stays in place: its copy leaves it out too.
            const std::string suffix = build_suffix(stamp, settings);
            current.push_back({source, compose_target(source, suffix, settings), {}, *excludes, record_of_suffix(suffix)});
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
        const std::vector<RecordLine> recorded = record_of(chosen[i]);
        const auto restored =
            guarded_call([&] { return platform::restore_backup(chosen[i].path, source, *excludes, recorded); });
        if (restored.failed) {
            // Where nothing was restored (only a last flush may fail after the
            // file took the backup's content), the backup of the version that
            // stays goes again, so that a failed attempt leaves no more behind.
            if (!current.empty() && !same_as_backup(source, chosen[i], *excludes)) {
                const std::string made = current.front().target;
                const std::string made_record = current.front().record;
                guarded_call([&] { return platform::remove_backups({&made, 1}, {&made_record, 1}); });
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
        transfer.shares_record = stamp_digits(found->front().stamp);
    }
}

void leave_out_unchanged(std::vector<platform::Transfer>& transfers) {
    std::erase_if(transfers, [](const platform::Transfer& transfer) {
        SourceState state;
        platform::ErrorCode error = 0;
        const std::optional<std::vector<BackupEntry>> found = backups_of_source(transfer.source, state, error);
        if (!state.kind || !found || found->empty()) return false;
        // A snapshot made with other patterns holds other entries than this
        // run's would.
        const std::optional<std::vector<std::string>> excludes = excludes_of(found->front(), error);
        return excludes && *excludes == transfer.excludes && same_as_backup(transfer.source, found->front(), *excludes);
    });
}

namespace {

// A dry run's object for a backup: its action (make, keep or remove) and,
// for one that stays, the rules that keep it.
std::string plan_object(std::string_view action, const BackupEntry& backup, const Kept* kept = nullptr) {
    std::vector<std::pair<std::string_view, std::string>> members = backup_members(backup);
    members.insert(members.begin(), {"action", json_string(action)});
    if (kept != nullptr) {
        std::string reasons;
        for (const std::string& reason : kept->reasons) (reasons += reasons.empty() ? "[" : ",") += json_string(reason);
        members.emplace_back("reasons", reasons + "]");
    }
    return json_line(members);
}

}  // namespace

void print_planned(const std::vector<platform::Transfer>& transfers, std::string_view stamp, bool json) {
    std::string lines;
    const StampValue run_time = parse_stamp(stamp).value_or(0);
    for (const platform::Transfer& transfer : transfers) {
        if (!json) {
            lines += "+ " + transfer.target + "\n";
            continue;
        }
        const auto status = guarded_call([&] { return platform::entry_status(transfer.source, true); }).result;
        const bool folder = status && status->kind == platform::EntryKind::folder;
        const BackupEntry made{transfer.target, 0, folder, 0, stamp_fields(run_time), {run_time, true}, false,
                               status ? status->size : 0};
        lines += plan_object("make", made);
    }
    print_answer(lines);
}

std::optional<Failure> keep_backups(const std::vector<RunSource>& sources, const Retention& rules, Plan plan,
                                    std::string_view stamp) {
    const bool dry_run = plan != Plan::none;
    std::vector<std::string> removed;
    std::vector<std::string> removed_records;  // alongside: the record of each
    std::string lines;
    std::string going;  // the dry run's removals, after every kept one
    for (const RunSource& source : sources) {
        platform::ErrorCode error = 0;
        std::optional<std::vector<BackupEntry>> found = backups_of(source.source, source.state, error, plan == Plan::json);
        if (!found) return failed("Removal failed: ", backup_folder_of(source.source), error);
        if (dry_run && !source.made.empty()) {
            std::erase_if(*found, [&](const BackupEntry& backup) { return backup.path == source.made; });
            const StampValue run_time = parse_stamp(stamp).value_or(0);
            found->push_back({source.made, instants_of_stamp(run_time).back(),
                              source.state.kind == platform::EntryKind::folder, 0, stamp_fields(run_time)});
            sort_newest_first(*found);
        }
        std::optional<std::size_t> spared;
        for (std::size_t i = 0; i < found->size(); ++i) {
            if ((*found)[i].path == source.made) spared = i;
        }
        const std::vector<Kept> kept = apply_retention(rules, *found, spared);
        // Oldest first, and never the backup this run made.
        for (std::size_t i = 0; i < found->size(); ++i) {
            if (!kept[i].kept() || i == spared) continue;
            if (plan == Plan::json) {
                lines += plan_object("keep", (*found)[i], &kept[i]);
            } else {
                lines += "= " + (*found)[i].path + " " + reasons_text(kept[i]) + "\n";
            }
        }
        for (std::size_t i = found->size(); i-- > 0;) {
            if (kept[i].kept()) continue;
            if (plan == Plan::json) {
                going += plan_object("remove", (*found)[i]);
            } else if (dry_run) {
                going += "- " + (*found)[i].path + "\n";
            }
            removed.push_back(std::move((*found)[i].path));
            removed_records.push_back(stamp_digits((*found)[i].stamp));
        }
    }
    if (dry_run) {
        print_answer(lines + going);
        return std::nullopt;
    }
    const auto removal = guarded_call([&] { return platform::remove_backups(removed, removed_records); });
    const std::size_t done = removal.result.made;
    if (done < removed.size()) return failed("Removal failed: ", removed[done], removal.error);
    // Every backup went, but its folder could not be flushed.
    if (removal.failed) {
        return failed("Removal failed: ", removed.back().substr(0, removed.back().rfind(platform::folder_separator)),
                      removal.error);
    }
    return std::nullopt;
}
