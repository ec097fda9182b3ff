#include "run/versions.h"

#include "platform/platform.h"
#include "run/guarded.h"
#include "snapshot/exclude.h"

namespace {

VersionFacts facts_of(const platform::VersionStatus& status) {
    const VersionKind kind = status.kind == platform::EntryKind::folder ? VersionKind::folder
                             : status.link                              ? VersionKind::link
                             : status.kind == platform::EntryKind::file ? VersionKind::file
                                                                        : VersionKind::other;
    return {kind, status.device, status.inode, status.permissions, status.owner, status.group, status.size};
}

// Whether an entry may be a version of a source in that state: a file's
// are files and links, a folder's are folders; where nothing stands at the
// source's name, either.
bool fits(const SourceState& state, const platform::VersionStatus& status) {
    if (status.kind == platform::EntryKind::other) return false;
    return !state.kind || (*state.kind == platform::EntryKind::folder) == (status.kind == platform::EntryKind::folder);
}

// The versions found in one place, each with what it shows where asked.
// The snapshots of a folder above the source count as the folder's
// backups; the entry at the source's place in each is reached without
// following a link.
bool versions_in(const VersionPlace& place, const SourceState& state, bool facts, std::vector<Version>& versions,
                 platform::ErrorCode& error) {
    SourceState holder = state;
    if (!place.inside.empty()) {
        if (!look_at(place.source, holder, error)) return false;
        holder.kind = platform::EntryKind::folder;
    }
    std::optional<std::vector<BackupEntry>> backups = backups_of(place.source, holder, error);
    if (!backups) return false;
    if (backups->empty() || (place.inside.empty() && !facts)) {
        for (BackupEntry& backup : *backups) versions.push_back({backup, backup.path, {}});
        return true;
    }
    std::vector<std::string> names;
    for (const BackupEntry& backup : *backups) names.push_back(backup.path.substr(place.folder.size() + 1));
    const auto read = guarded_call([&] { return platform::entries_inside(place.folder, names, place.inside); });
    error = read.error;
    if (read.failed) return false;
    const std::vector<std::optional<platform::VersionStatus>>& found = read.result;
    for (std::size_t i = 0; i < backups->size(); ++i) {
        if (!found[i] || !fits(state, *found[i])) continue;
        Version version{(*backups)[i], (*backups)[i].path, place.inside, facts_of(*found[i])};
        if (!place.inside.empty()) (version.entry.path += platform::folder_separator) += place.inside;
        version.entry.folder = found[i]->kind == platform::EntryKind::folder;
        version.entry.link = found[i]->link;
        version.entry.size = found[i]->size;
        versions.push_back(std::move(version));
    }
    return true;
}

}  // namespace

Failure no_backup(std::string_view source) {
    return Failure{status_missing_source, "No backup of: " + std::string(source)};
}

std::string folder_of(const Version& version) {
    return version.backup.substr(0, version.backup.rfind(platform::folder_separator));
}

std::string path_in_folder(const Version& version) {
    return version.entry.path.substr(folder_of(version).size() + 1);
}

std::optional<std::vector<Version>> versions_of(const std::string& source, SourceState& state, bool facts,
                                                platform::ErrorCode& error) {
    if (!look_at(source, state, error)) return std::nullopt;
    std::vector<Version> versions;
    for (const VersionPlace& place : version_places(source)) {
        if (!versions_in(place, state, facts, versions, error)) return std::nullopt;
    }
    sort_newest_first(versions);
    return versions;
}

std::optional<std::size_t> made_by(const std::vector<Version>& versions, std::optional<StampValue> by) {
    if (versions.empty()) return std::nullopt;
    if (!by) return 0;
    const Instant until = platform::instants_of(stamp_fields(*by)).back();
    for (std::size_t i = 0; i < versions.size(); ++i) {
        if (versions[i].entry.made <= until) return i;
    }
    return std::nullopt;
}

std::optional<std::vector<std::string>> excludes_of_version(const Version& version, platform::ErrorCode& error) {
    if (!version.entry.folder) return std::vector<std::string>{};
    if (version.inside.empty()) return excludes_of(version.entry, error);
    BackupEntry snapshot = version.entry;
    snapshot.path = version.backup;
    const std::optional<std::vector<std::string>> patterns = excludes_of(snapshot, error);
    if (!patterns) return std::nullopt;
    return patterns_below(*patterns, version.inside);
}

std::optional<Side> side_of(const Version& version, bool labelled, platform::ErrorCode& error) {
    if (version.inside.empty() && !labelled) return Side{version.entry.path, std::nullopt};
    const auto pinned = guarded_call(
        [&] { return platform::pin_version(folder_of(version), path_in_folder(version), version.entry.path); });
    error = pinned.error;
    if (pinned.failed) return std::nullopt;
    return Side{version.inside.empty() ? version.entry.path : pinned.result.path, pinned.result.label};
}
