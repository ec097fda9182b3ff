#include "run/verify.h"

#include <algorithm>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "names/backup_names.h"
#include "history/json_lines.h"
#include "platform/platform.h"
#include "run/backup.h"
#include "run/guarded.h"
#include "run/history.h"
#include "run/run.h"
#include "snapshot/record.h"

namespace {

// What a backup's check found, by path.
struct Findings {
    std::uint64_t checked = 0;
    std::vector<std::string> failed;
    std::vector<std::string> missing;
    std::vector<std::pair<std::string, std::string>> unreadable;  // path, reason
    bool unrecorded = false;
};

// A file read once: its digest and size, or why it could not be read.
struct Reading {
    std::optional<platform::CheckedFile> file;
    platform::ErrorCode error = 0;
};

// Spreads identities over the groups of --verify=N/T.
std::uint64_t mixed(std::uint64_t value) {
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ULL;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBULL;
    return value ^ (value >> 31);
}

bool in_group(const VerifyGroup& group, std::uint64_t identity) {
    return mixed(identity) % group.groups == group.number - 1;
}

std::uint64_t identity_of(std::uint64_t device, std::uint64_t inode) {
    return mixed(device) ^ inode;
}

std::uint64_t identity_of(std::string_view path) {
    std::uint64_t hash = 14695981039346656037ULL;
    for (const char c : path) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    return hash;
}

struct Check {
    const Request& request;
    std::map<std::pair<std::uint64_t, std::uint64_t>, Reading> read;  // by device and inode
    bool unreadable = false, no_backup = false, damaged = false;
    std::string out;
    // The folder last read, whose files the lines that follow mostly name.
    std::string listed;
    std::optional<platform::FolderIdentities> listing;
    platform::ErrorCode listing_error = 0;
    platform::FoldersAhead* ahead = nullptr;  // the folders to come, listed on a thread
};

// A recorded file's identity, from one read of its folder: none where it
// is gone or no regular file (error tells which).
std::optional<platform::CheckedFile> identify(Check& check, std::string_view path, platform::ErrorCode& error) {
    const std::size_t slash = path.rfind(platform::folder_separator);
    const std::string_view folder = path.substr(0, slash);
    const std::string_view name = path.substr(slash + 1);
    if (folder != check.listed) {
        check.listed = folder;
        std::optional<Outcome<platform::FolderIdentities>> ahead;
        if (check.ahead != nullptr) ahead = check.ahead->take(folder);
        auto listed =
            guarded_call([&] { return ahead ? std::move(*ahead) : platform::folder_identities(check.listed); });
        check.listing.reset();
        if (!listed.failed) check.listing = std::move(listed.result);
        check.listing_error = listed.error;
    }
    error = check.listing_error;
    if (!check.listing) return std::nullopt;
    const auto& files = check.listing->regular_files;
    const auto file = std::lower_bound(files.begin(), files.end(), name,
                                       [](const auto& entry, std::string_view wanted) { return entry.first < wanted; });
    if (file != files.end() && file->first == name) return platform::CheckedFile{check.listing->device, file->second};
    const auto& others = check.listing->others;
    const auto other = std::lower_bound(others.begin(), others.end(), name);
    error = other != others.end() && *other == name ? platform::not_a_file : platform::nothing_at_all;
    return std::nullopt;
}

// Checks one recorded file of a backup; path is its path, built in place.
void check_line(Check& check, std::string& path, std::size_t folder_length, const RecordLine& line,
                Findings& found) {
    path.resize(folder_length);
    (path += platform::folder_separator) += line.path;
    platform::ErrorCode error = 0;
    const std::optional<platform::CheckedFile> looked = identify(check, path, error);
    if (!looked) {
        if (platform::nothing_there(error)) {
            if (in_group(check.request.verify_group, identity_of(path))) found.missing.push_back(path);
        } else if (in_group(check.request.verify_group, identity_of(path))) {
            found.unreadable.emplace_back(path, platform::error_text(error));
        }
        return;
    }
    if (!in_group(check.request.verify_group, identity_of(looked->device, looked->inode))) return;
    ++found.checked;
    const std::pair key{looked->device, looked->inode};
    auto known = check.read.find(key);
    if (known == check.read.end()) {
        const auto digest = guarded_call([&] { return platform::read_file_digest(path); });
        std::optional<platform::CheckedFile> file;
        if (!digest.failed) file = digest.result;
        known = check.read.emplace(key, Reading{file, digest.error}).first;
    }
    const Reading& reading = known->second;
    if (!reading.file) {
        found.unreadable.emplace_back(path, platform::error_text(reading.error));
    } else if (reading.file->digest != line.digest || reading.file->size != line.size) {
        found.failed.push_back(path);
    }
}

std::string json_list(const std::vector<std::string>& paths) {
    std::string list = "[";
    for (const std::string& path : paths) (list += list.size() > 1 ? "," : "") += json_string(path);
    return list + "]";
}

void report(Check& check, const std::string& backup, const std::string& stamp, const Findings& found) {
    check.damaged = check.damaged || !found.failed.empty() || !found.missing.empty();
    check.unreadable = check.unreadable || !found.unreadable.empty();
    if (check.request.json) {
        std::string unreadable = "[";
        for (const auto& [path, reason] : found.unreadable) {
            (unreadable += unreadable.size() > 1 ? "," : "") +=
                json_line({{"path", json_string(path)}, {"reason", json_string(reason)}});
            unreadable.pop_back();  // the line's end
        }
        check.out += json_line({{"backup", json_string(backup)},
                                {"stamp", json_string(stamp)},
                                {"recorded", found.unrecorded ? "false" : "true"},
                                {"checked", std::to_string(found.checked)},
                                {"failed", json_list(found.failed)},
                                {"missing", json_list(found.missing)},
                                {"unreadable", unreadable + "]"}});
        return;
    }
    for (const std::string& path : found.failed) check.out += "FAILED " + path + "\n";
    for (const std::string& path : found.missing) check.out += "MISSING " + path + "\n";
    if (found.unrecorded) check.out += "UNRECORDED " + backup + "\n";
    for (const auto& [path, reason] : found.unreadable) ((((check.out += "UNREADABLE ") += path) += ": ") += reason) += '\n';
}

// The lines of every record of the folder, by the backup they belong to.
bool recorded_backups(const std::string& folder, std::string_view file_name,
                      std::map<std::string, std::vector<RecordLine>>& by_backup, platform::ErrorCode& error) {
    const auto listed = guarded_call([&] { return platform::record_names(folder); });
    error = listed.error;
    if (listed.failed) return false;
    for (const std::string& record : listed.result) {
        auto read = guarded_call([&] { return platform::recorded_lines(folder, record, false); });
        error = read.error;
        if (read.failed) return false;
        std::vector<RecordLine>& lines = read.result;
        // The lines of one backup stand together: each name is read and
        // looked up once, and a snapshot's record (one backup) is taken whole.
        const auto backup_of = [](const RecordLine& line) {
            return std::string_view(line.path).substr(0, line.path.find('/'));
        };
        for (auto run = lines.begin(); run != lines.end();) {
            const std::string backup(backup_of(*run));
            const auto end =
                std::find_if(run, lines.end(), [&](const RecordLine& line) { return backup_of(line) != backup; });
            const std::optional<BackupStamp> stamp = backup_stamp(file_name, backup);
            // A record holds only the lines of backups of its own stamp.
            if (stamp && stamp_digits(*stamp) == record) {
                std::vector<RecordLine>& wanted = by_backup[backup];
                if (wanted.empty() && run == lines.begin() && end == lines.end()) {
                    wanted = std::move(lines);
                    break;
                }
                wanted.insert(wanted.end(), std::make_move_iterator(run), std::make_move_iterator(end));
            }
            run = end;
        }
    }
    return true;
}

// The folders the backups' lines name, in the order the check lists them:
// each once for a run of lines in it, after the one listed last.
std::function<std::optional<std::string>()> folders_in_order(std::vector<const std::vector<RecordLine>*> backups,
                                                             std::string top, std::string last) {
    return [backups = std::move(backups), top = std::move(top), last = std::move(last), backup = std::size_t{0},
            line = std::size_t{0}]() mutable -> std::optional<std::string> {
        for (; backup < backups.size(); ++backup, line = 0) {
            while (line < backups[backup]->size()) {
                const std::string& path = (*backups[backup])[line++].path;
                const std::size_t slash = path.rfind(platform::folder_separator);
                std::string folder = top;
                if (slash != std::string::npos) (folder += platform::folder_separator).append(path, 0, slash);
                if (folder == last) continue;
                last = folder;
                return folder;
            }
        }
        return std::nullopt;
    };
}

// Checks the backups that stand, newest first, then those only their
// records tell of.
void check_backups(Check& check, const std::vector<BackupEntry>& found,
                   const std::map<std::string, std::vector<RecordLine>>& recorded, const std::set<std::string>& seen,
                   const std::string& folder, const std::string& source) {
    for (const BackupEntry& backup : found) {
        const std::string name = backup.path.substr(backup.path.rfind(platform::folder_separator) + 1);
        Findings findings;
        const auto lines = recorded.find(name);
        if (lines == recorded.end()) {
            findings.unrecorded = in_group(check.request.verify_group, identity_of(backup.path));
            if (!findings.unrecorded) continue;
        } else {
            std::string path = folder;
            for (const RecordLine& line : lines->second) check_line(check, path, folder.size(), line, findings);
        }
        report(check, backup.path, stamp_digits(backup.stamp), findings);
    }
    for (const auto& [name, lines] : recorded) {
        if (seen.contains(name)) continue;
        Findings findings;
        std::string path = folder;
        for (const RecordLine& line : lines) check_line(check, path, folder.size(), line, findings);
        const std::optional<BackupStamp> stamp = backup_stamp(source_last_part(source), name);
        path.resize(folder.size());
        (path += platform::folder_separator) += name;
        report(check, path, stamp ? stamp_digits(*stamp) : "", findings);
    }
}

void verify_source(Check& check, const std::string& source) {
    SourceState state;
    platform::ErrorCode error = 0;
    std::optional<std::vector<BackupEntry>> found;
    if (look_at(source, state, error)) found = backups_of(source, state, error);
    const std::string target = compose_target(source, "", BackupSettings{});
    const std::string folder = target.substr(0, target.rfind(platform::folder_separator));
    std::map<std::string, std::vector<RecordLine>> recorded;
    if (!found || !recorded_backups(folder, source_last_part(source), recorded, error)) {
        print_line(with_reason(status_backup_failed, "Verify failed: " + source, error).message);
        check.unreadable = true;
        return;
    }
    if (check.request.at) {
        const std::optional<std::size_t> newest =
            newest_made_by(*found, platform::instants_of(stamp_fields(*check.request.at)).back());
        if (!newest) found->clear();
        if (newest) found = std::vector<BackupEntry>{(*found)[*newest]};
        std::erase_if(recorded, [&](const auto& entry) {
            return found->empty() || folder + platform::folder_separator + entry.first != found->front().path;
        });
    }
    if (found->empty() && recorded.empty()) {
        print_line("No backup of: " + source);
        check.no_backup = true;
        return;
    }
    // Backups that stand, newest first, then those only their records tell of.
    std::set<std::string> seen;
    std::vector<const std::vector<RecordLine>*> in_order;
    for (const BackupEntry& backup : *found) {
        const std::string name = backup.path.substr(backup.path.rfind(platform::folder_separator) + 1);
        seen.insert(name);
        if (const auto lines = recorded.find(name); lines != recorded.end()) in_order.push_back(&lines->second);
    }
    for (const auto& [name, lines] : recorded) {
        if (!seen.contains(name)) in_order.push_back(&lines);
    }
    platform::FoldersAhead ahead(folders_in_order(std::move(in_order), folder, check.listed));
    check.ahead = &ahead;
    check_backups(check, *found, recorded, seen, folder, source);
    check.ahead = nullptr;
}

}  // namespace

std::int32_t verify_backups(const Request& request) {
    Check check{request, {}, false, false, false, {}, {}, std::nullopt, 0, nullptr};
    for (const std::string& source : request.sources) {
        verify_source(check, source);
        print_answer(check.out);
        check.out.clear();
    }
    if (check.unreadable) return status_backup_failed;
    if (check.no_backup) return status_missing_source;
    return check.damaged ? status_differs : status_ok;
}
