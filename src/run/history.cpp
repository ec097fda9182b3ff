#include "run/history.h"

#include <algorithm>
#include <cerrno>

#include "names/backup_names.h"
#include "history/json_lines.h"
#include "snapshot/room.h"
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

std::string_view kind_name(bool folder, bool link) {
    return folder ? "folder" : link ? "link" : "file";
}

// Whether a source equals a backup of it.
bool same_as_backup(const std::string& source, const BackupEntry& backup, std::span<const std::string> excludes) {
    return same_contents_as(source, backup.path, backup.folder, permissions_kept_in(backup_folder_of(source)),
                            excludes);
}

}  // namespace

bool permissions_kept_in(const std::string& folder) {
    const auto keeps = guarded_call([&] { return platform::keeps_permissions(folder); });
    return !keeps.failed && keeps.result;
}

bool same_contents_as(const std::string& source, const std::string& path, bool folder, bool permissions,
                      std::span<const std::string> excludes) {
    if (folder) {
        const auto changes =
            guarded_call([&] { return platform::tree_changes(path, source, permissions, excludes, true); });
        return !changes.failed && changes.result.empty();
    }
    const auto same = guarded_call([&] { return platform::same_file(source, path, permissions); });
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

// A backup as --json gives it: where it is, its stamp as given to --at and
// as a local time, its kind and a file's size.
std::vector<std::pair<std::string_view, std::string>> backup_members(const BackupEntry& backup) {
    return {{"path", json_string(backup.path)},
            {"stamp", json_string(stamp_digits(backup.stamp))},
            {"time", json_string(iso_local_time(backup.calendar))},
            {"kind", json_string(kind_name(backup.folder, backup.link))},
            {"size", backup.folder ? "null" : std::to_string(backup.size)}};
}

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

// A dry run's removals, in turn, each with what it frees ("- PATH (frees
// 12K)", or an object with "frees" in bytes), then what they free in all: a
// file that several of them share goes with the last.
std::optional<Failure> removal_plan(const std::vector<BackupEntry>& going, Plan plan, std::string& lines) {
    std::vector<std::vector<RoomFacts>> rooms;
    for (const BackupEntry& backup : going) {
        const std::size_t slash = backup.path.rfind(platform::folder_separator);
        auto read = guarded_call(
            [&] { return platform::version_room(backup.path.substr(0, slash), backup.path.substr(slash + 1)); });
        if (read.failed) return failed("Removal failed: ", backup.path, read.error);
        rooms.push_back(std::move(read.result));
    }
    const std::vector<std::uint64_t> freed = freed_in_turn(rooms);
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < going.size(); ++i) {
        total += freed[i];
        if (plan != Plan::json) {
            lines += "- " + going[i].path + " (frees " + size_text(freed[i]) + ")\n";
            continue;
        }
        std::vector<std::pair<std::string_view, std::string>> members = backup_members(going[i]);
        members.insert(members.begin(), {"action", json_string("remove")});
        members.emplace_back("frees", std::to_string(freed[i]));
        lines += json_line(members);
    }
    if (going.empty()) return std::nullopt;
    lines += plan == Plan::json ? json_line({{"action", json_string("total")}, {"frees", std::to_string(total)}})
                                : "frees " + size_text(total) + " in all\n";
    return std::nullopt;
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
    std::vector<BackupEntry> going;  // the dry run's removals, after every kept one
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
            if (dry_run) going.push_back((*found)[i]);
            removed.push_back(std::move((*found)[i].path));
            removed_records.push_back(stamp_digits((*found)[i].stamp));
        }
    }
    if (dry_run) {
        if (auto failure = removal_plan(going, plan, lines)) return failure;
        print_answer(lines);
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
