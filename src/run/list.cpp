#include "run/list.h"

#include <map>
#include <vector>

#include "history/json_lines.h"
#include "snapshot/room.h"
#include "history/versions.h"
#include "platform/platform.h"
#include "run/backup.h"
#include "run/guarded.h"
#include "run/history.h"
#include "run/run.h"
#include "run/versions.h"
#include "snapshot/record.h"

namespace {

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
