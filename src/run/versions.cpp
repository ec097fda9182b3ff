#include "run/versions.h"

#include <algorithm>
#include <cerrno>
#include <map>
#include <vector>

#include "history/json_lines.h"
#include "snapshot/room.h"
#include "history/versions.h"
#include "names/backup_names.h"
#include "platform/platform.h"
#include "run/backup.h"
#include "run/guarded.h"
#include "run/history.h"
#include "run/run.h"
#include "snapshot/exclude.h"
#include "snapshot/record.h"

namespace {

Failure failed(std::string_view message, std::string_view what, platform::ErrorCode error) {
    return with_reason(status_backup_failed, std::string(message) + std::string(what), error);
}

Failure no_backup(std::string_view source) {
    return Failure{status_missing_source, "No backup of: " + std::string(source)};
}

// The backup folder a version is found in, and its path there
// ("proj.20261208.13000000/src/main.c").
std::string folder_of(const Version& version) {
    return version.backup.substr(0, version.backup.rfind(platform::folder_separator));
}

std::string path_in_folder(const Version& version) {
    return version.entry.path.substr(folder_of(version).size() + 1);
}

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

// The versions of a source, newest first, and what stands at its name;
// none where that or a folder cannot be read, with the reason in error.
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

// The newest version made at or before a stamp's time (where it came
// twice, the later), or the newest of all.
std::optional<std::size_t> made_by(const std::vector<Version>& versions, std::optional<StampValue> by) {
    if (versions.empty()) return std::nullopt;
    if (!by) return 0;
    const Instant until = platform::instants_of(stamp_fields(*by)).back();
    for (std::size_t i = 0; i < versions.size(); ++i) {
        if (versions[i].entry.made <= until) return i;
    }
    return std::nullopt;
}

// The lines of a version's record that are its own: none where it has none
// (made before records were kept, or by hand) or the record cannot be read.
// Their paths are from the version's backup folder.
std::vector<RecordLine> record_of(const Version& version) {
    const std::string path = path_in_folder(version);
    auto read = guarded_call(
        [&] { return platform::recorded_lines(folder_of(version), stamp_digits(version.entry.stamp), false); });
    if (read.failed) return {};
    std::erase_if(read.result, [&](const RecordLine& line) { return !belongs_to(line.path, path); });
    return std::move(read.result);
}

// The patterns a folder's version was made with: its snapshot's, taken
// from the folder's place in it where it lies inside one.
std::optional<std::vector<std::string>> excludes_of_version(const Version& version, platform::ErrorCode& error) {
    if (!version.entry.folder) return std::vector<std::string>{};
    if (version.inside.empty()) return excludes_of(version.entry, error);
    BackupEntry snapshot = version.entry;
    snapshot.path = version.backup;
    const std::optional<std::vector<std::string>> patterns = excludes_of(snapshot, error);
    if (!patterns) return std::nullopt;
    return patterns_below(*patterns, version.inside);
}

// A path that programs may read a version by: a backup's own, or a
// version inside a snapshot held open, labelled as diff -u would label it.
struct Side {
    std::string path;
    std::optional<std::string> label;
};

std::optional<Side> side_of(const Version& version, bool labelled, platform::ErrorCode& error) {
    if (version.inside.empty() && !labelled) return Side{version.entry.path, std::nullopt};
    const auto pinned = guarded_call(
        [&] { return platform::pin_version(folder_of(version), path_in_folder(version), version.entry.path); });
    error = pinned.error;
    if (pinned.failed) return std::nullopt;
    return Side{version.inside.empty() ? version.entry.path : pinned.result.path, pinned.result.label};
}

// Whether a source equals a version of it: a file byte for byte, a folder
// entry for entry but those the patterns leave out; permission bits and
// owners only where the version's disk keeps them.
bool same_as_version(const std::string& source, const Version& version, std::span<const std::string> excludes) {
    platform::ErrorCode error = 0;
    const std::optional<Side> side = side_of(version, false, error);
    if (!side) return false;
    return same_contents_as(source, side->path, version.entry.folder, permissions_kept_in(folder_of(version)),
                            excludes);
}

// The digests of the records read, by backup folder and stamp.
using Records = std::map<std::pair<std::string, std::string>, std::vector<RecordLine>>;

std::optional<Digest> recorded_digest(const Version& version, Records& records) {
    const std::pair key{folder_of(version), stamp_digits(version.entry.stamp)};
    auto known = records.find(key);
    if (known == records.end()) {
        auto read = guarded_call([&] { return platform::recorded_lines(key.first, key.second, false); });
        if (read.failed) read.result.clear();
        known = records.emplace(key, std::move(read.result)).first;
    }
    const std::string path = path_in_folder(version);
    for (const RecordLine& line : known->second) {
        if (line.path == path) return line.digest;
    }
    return std::nullopt;
}

// Each version's number, from whether each entry holds what the one after
// it holds: told by identity and status, else by recorded digests (of large
// files), else by reading both.
std::optional<std::vector<std::uint32_t>> number_versions(std::vector<Version>& versions, platform::ErrorCode& error) {
    std::vector<bool> same(versions.size(), false);
    Records records;
    for (std::size_t i = 0; i + 1 < versions.size(); ++i) {
        Version& one = versions[i];
        Version& other = versions[i + 1];
        Likeness alike = likeness(one.facts, other.facts);
        if (alike == Likeness::read_contents && one.facts.kind == VersionKind::file &&
            one.facts.size >= compared_by_reading) {
            if (!one.facts.digest) one.facts.digest = recorded_digest(one, records);
            if (!other.facts.digest) other.facts.digest = recorded_digest(other, records);
            alike = likeness(one.facts, other.facts);
        }
        if (alike == Likeness::read_contents) {
            const bool permissions = permissions_kept_in(folder_of(one));
            const auto compared = guarded_call([&] {
                return platform::same_contents(folder_of(one), path_in_folder(one), folder_of(other),
                                               path_in_folder(other), permissions);
            });
            error = compared.error;
            if (compared.failed) return std::nullopt;
            same[i] = compared.result;
        } else {
            same[i] = alike == Likeness::same;
        }
    }
    return version_numbers(same);
}

// A version as --list --json gives it: a backup's members, the backup that
// holds it and its version's number, and its room where asked.
std::string version_object(const Version& version, std::uint32_t number, const std::optional<Room>& room) {
    std::vector<std::pair<std::string_view, std::string>> members = backup_members(version.entry);
    members.emplace_back("backup", json_string(version.backup));
    members.emplace_back("version", std::to_string(number));
    if (room) {
        members.emplace_back("room", std::to_string(room->size));
        members.emplace_back("frees", std::to_string(room->frees));
    }
    return json_line(members);
}

// A file against a version, or two versions: diff -u prints what changed,
// from the first to the second; status 1 where they differ.
std::optional<Failure> diff_file(const std::string& source, const Side& from, const std::string& to,
                                 const std::optional<std::string>& to_label, std::int32_t& status) {
    std::vector<std::string> arguments{"diff", "-u"};
    for (const std::optional<std::string>& label : {from.label, to_label}) {
        if (label) arguments.insert(arguments.end(), {"--label", *label});
    }
    arguments.insert(arguments.end(), {"--", from.path, to});
    const auto ran = guarded_call([&] { return platform::run_program(arguments); });
    if (ran.failed || ran.result > 1) return failed("Diff failed: ", source, ran.error);
    if (ran.result == 1) status = status_differs;
    return std::nullopt;
}

// A folder against a version of it, or two versions: a line a changed
// entry, its path relative to the folder, leaving out what the versions'
// snapshots left out.
std::optional<Failure> diff_folder(const std::string& source, const Version& from, const Side& from_side,
                                   const Version* to, const std::string& to_path, bool json, std::int32_t& status) {
    platform::ErrorCode error = 0;
    std::optional<std::vector<std::string>> excludes = excludes_of_version(from, error);
    if (!excludes) return failed("Diff failed: ", source, error);
    if (to != nullptr) {
        const std::optional<std::vector<std::string>> more = excludes_of_version(*to, error);
        if (!more) return failed("Diff failed: ", source, error);
        excludes->insert(excludes->end(), more->begin(), more->end());
    }
    const bool permissions = permissions_kept_in(folder_of(from));
    const auto compared =
        guarded_call([&] { return platform::tree_changes(from_side.path, to_path, permissions, *excludes, false); });
    if (compared.failed) return failed("Diff failed: ", source, compared.error);
    const std::vector<platform::TreeChange>& changes = compared.result;
    std::string lines;
    for (const platform::TreeChange& change : changes) {
        if (!json) {
            (((lines += change.mark) += ' ') += change.path) += '\n';
            continue;
        }
        const bool folder = change.kind == platform::EntryKind::folder;
        std::vector<std::pair<std::string_view, std::string>> members{
            {"path", json_string(change.path)},
            {"change", json_string(std::string(1, change.mark))},
            {"kind", json_string(folder ? "folder" : change.link ? "link" : "file")},
            {"size", folder ? "null" : std::to_string(change.size)},
            {"backup", json_string(from.entry.path)},
            {"stamp", json_string(stamp_digits(from.entry.stamp))}};
        if (to != nullptr) {
            members.emplace_back("to", json_string(to->entry.path));
            members.emplace_back("to_stamp", json_string(stamp_digits(to->entry.stamp)));
        }
        lines += json_line(members);
    }
    print_answer(lines);
    if (!changes.empty()) status = status_differs;
    return std::nullopt;
}

// A version compared with the source as it is, or with another version.
std::optional<Failure> compare(const std::string& source, const Version& from, const Version* to, bool json,
                               std::int32_t& status) {
    if (to != nullptr && from.entry.folder != to->entry.folder) {
        return failed("Diff failed: ", source, from.entry.folder ? ENOTDIR : EISDIR);
    }
    platform::ErrorCode error = 0;
    const std::optional<Side> from_side = side_of(from, to != nullptr, error);
    std::optional<Side> to_side = Side{source, std::nullopt};
    if (to != nullptr && from_side) to_side = side_of(*to, true, error);
    if (!from_side || !to_side) return failed("Diff failed: ", source, error);
    return from.entry.folder ? diff_folder(source, from, *from_side, to, to_side->path, json, status)
                             : diff_file(source, *from_side, to_side->path, to_side->label, status);
}

// Writes the chosen version to a new file or folder, or to standard output.
std::optional<Failure> restore_elsewhere(const Request& request, const Version& version) {
    const std::string& target = *request.output;
    const bool to_output = target == "-";
    if (request.dry_run) {
        print_answer("+ " + target + "\n");
        return std::nullopt;
    }
    const std::vector<RecordLine> recorded = record_of(version);
    const std::string folder = folder_of(version);
    const std::string path = path_in_folder(version);
    const auto written = guarded_call([&] {
        if (!to_output) return platform::restore_version(folder, path, target, false, {}, recorded);
        std::optional<RecordLine> own;
        for (const RecordLine& line : recorded) {
            if (line.path == path) own = line;
        }
        return platform::write_version(folder, path, own);
    });
    if (written.failed) return failed("Restore failed: ", to_output ? request.sources.front() : target, written.error);
    return std::nullopt;
}

}  // namespace

std::optional<Failure> list_versions(const Request& request) {
    const char end = request.null_ends ? '\0' : '\n';
    const bool facts = request.json || request.distinct;
    for (const std::string& source : request.sources) {
        SourceState state;
        platform::ErrorCode error = 0;
        std::optional<std::vector<Version>> found = versions_of(source, state, facts, error);
        if (!found) return failed("List failed: ", source, error);
        if (found->empty()) return no_backup(source);
        std::vector<std::uint32_t> numbers(found->size(), 0);
        if (facts) {
            const std::optional<std::vector<std::uint32_t>> numbered = number_versions(*found, error);
            if (!numbered) return failed("List failed: ", source, error);
            numbers = *numbered;
        }
        std::vector<std::size_t> shown = request.distinct ? first_saved(numbers) : std::vector<std::size_t>{};
        if (!request.distinct) {
            for (std::size_t i = 0; i < found->size(); ++i) shown.push_back(i);
        }
        std::string lines;
        for (const std::size_t i : shown) {
            const Version& version = (*found)[i];
            std::optional<Room> room;
            if (request.sizes) {
                const auto read = guarded_call(
                    [&] { return platform::version_room(folder_of(version), path_in_folder(version)); });
                if (read.failed) return failed("List failed: ", version.entry.path, read.error);
                room = room_of(read.result);
            }
            if (request.json) {
                lines += version_object(version, numbers[i], room);
                continue;
            }
            if (room) (((lines += size_text(room->size)) += '\t') += size_text(room->frees)) += '\t';
            (lines += version.entry.path) += end;
        }
        print_answer(lines);
    }
    return std::nullopt;
}

std::optional<Failure> diff_versions(const Request& request, std::int32_t& status) {
    for (const std::string& source : request.sources) {
        SourceState state;
        platform::ErrorCode error = 0;
        const std::optional<std::vector<Version>> found = versions_of(source, state, false, error);
        if (!found) return failed("Diff failed: ", source, error);
        const std::optional<std::size_t> from = made_by(*found, request.at);
        const std::optional<std::size_t> to = request.to ? made_by(*found, request.to) : std::nullopt;
        if (!from || (request.to && !to)) return no_backup(source);
        if (!request.to && !state.kind) return failed("Diff failed: ", source, ENOENT);
        if (auto failure = compare(source, (*found)[*from], to ? &(*found)[*to] : nullptr, request.json, status)) {
            return failure;
        }
    }
    return std::nullopt;
}

std::optional<Failure> restore_versions(const Request& request, const BackupSettings& settings, std::string& stamp) {
    std::vector<Version> chosen;
    std::vector<SourceState> states;
    for (const std::string& source : request.sources) {
        // Nobody else's link at the name may send the restore elsewhere.
        if (!request.output) {
            const auto trusted = guarded_call([&] { return platform::links_trusted(source); });
            if (trusted.failed) return failed("Restore failed: ", source, trusted.error);
        }
        SourceState state;
        platform::ErrorCode error = 0;
        std::optional<std::vector<Version>> found = versions_of(source, state, false, error);
        if (!found) return failed("Restore failed: ", source, error);
        const std::optional<std::size_t> newest = made_by(*found, request.at);
        if (!newest) return no_backup(source);
        chosen.push_back(std::move((*found)[*newest]));
        states.push_back(state);
    }
    if (request.output) return restore_elsewhere(request, chosen.front());
    BackupSettings copying = settings;
    copying.copy = 1;
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        const std::string& source = request.sources[i];
        platform::ErrorCode error = 0;
        const std::optional<std::vector<std::string>> excludes = excludes_of_version(chosen[i], error);
        if (!excludes) return failed("Restore failed: ", source, error);
        const bool stands = states[i].kind.has_value();
        if (stands && same_as_version(source, chosen[i], *excludes)) continue;
        std::vector<platform::Transfer> current;
        if (stands) {
            // What the version leaves out stays in place: its copy leaves it out too.
            const std::string suffix = build_suffix(stamp, settings);
            current.push_back(
                {source, compose_target(source, suffix, settings), {}, *excludes, record_of_suffix(suffix)});
            // The backup of the file as it is would take the place of the one
            // to be restored (the same name, with -unique, on the same day).
            if (current.front().target == chosen[i].entry.path) return failed("Restore failed: ", source, 0);
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
        const auto restored = guarded_call([&] {
            return platform::restore_version(folder_of(chosen[i]), path_in_folder(chosen[i]), source, true, *excludes,
                                             recorded);
        });
        if (restored.failed) {
            // Where nothing was restored (only a last flush may fail after the
            // file took the version's content), the backup of the version that
            // stays goes again, so that a failed attempt leaves no more behind.
            if (!current.empty() && !same_as_version(source, chosen[i], *excludes)) {
                const std::string made = current.front().target;
                const std::string made_record = current.front().record;
                guarded_call([&] { return platform::remove_backups({&made, 1}, {&made_record, 1}); });
            }
            return failed("Restore failed: ", source, restored.error);
        }
    }
    return std::nullopt;
}
