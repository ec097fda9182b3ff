#include "run/history.h"

#include <algorithm>

#include "names/backup_names.h"
#include "names/naming.h"
#include "history/json_lines.h"
#include "run/guarded.h"

namespace {

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

std::string backup_folder_of(std::string_view source) {
    const std::string target = compose_target(source, "", BackupSettings{});
    return target.substr(0, target.rfind(platform::folder_separator));
}

std::vector<Instant> instants_of_stamp(StampValue stamp) {
    return platform::instants_of(stamp_fields(stamp));
}

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
