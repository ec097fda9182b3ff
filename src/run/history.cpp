#include "run/history.h"

#include <algorithm>

#include "run/backup.h"
#include "run/guarded.h"
#include "run/run.h"

namespace {

// The backup folder of a source, as a backup run names it ("backup/conf").
std::string backup_folder_of(std::string_view source) {
    const std::string target = compose_target(source, "", BackupSettings{});
    return target.substr(0, target.rfind(platform::folder_separator));
}

bool newer(const BackupEntry& a, const BackupEntry& b) {
    return a.time != b.time ? a.time > b.time : a.path > b.path;
}

Failure failed(std::string_view message, std::string_view what) {
    return Failure{status_backup_failed, std::string(message) + std::string(what)};
}

Failure no_backup(std::string_view source) {
    return Failure{status_missing_source, "No backup of: " + std::string(source)};
}

// The backups of a source of the kind that stands at its name; none where
// that or its backup folder cannot be read.
std::optional<std::vector<BackupEntry>> backups_of_source(const std::string& source,
                                                          std::optional<platform::EntryKind>& kind) {
    if (!kind_of(source, kind)) return std::nullopt;
    return backups_of(source, kind);
}

// The newest backup of a source made by the time given, where given, and
// what stands at the source's name; status 2 where there is none, 3 where
// the folder cannot be read.
std::optional<Failure> choose_backup(const std::string& source, std::optional<StampValue> by,
                                     std::vector<BackupEntry>& chosen,
                                     std::vector<std::optional<platform::EntryKind>>& kinds) {
    std::optional<platform::EntryKind> kind;
    std::optional<std::vector<BackupEntry>> found = backups_of_source(source, kind);
    if (!found) return failed("Restore failed: ", source);
    kinds.push_back(kind);
    for (BackupEntry& backup : *found) {
        if (!by || backup.time <= *by) {
            chosen.push_back(std::move(backup));
            return std::nullopt;
        }
    }
    return no_backup(source);
}

// Whether a source equals a backup of it: a file byte for byte, a folder
// entry for entry.
bool same_as_backup(const std::string& source, const BackupEntry& backup) {
    return guarded_call([&] {
               return backup.folder ? platform::same_tree(source, backup.path)
                                    : platform::same_file(source, backup.path);
           })
        .result;
}

}  // namespace

StampValue stamp_value(const mivo_systemtime& time) {
    StampValue value = time.wYear;
    for (const unsigned field : {time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond}) {
        value = value * 100 + field % 100;
    }
    return value * 100 + time.wMilliseconds / 10U % 100;
}

bool kind_of(const std::string& source, std::optional<platform::EntryKind>& kind) {
    const auto status = guarded_call([&] { return platform::entry_status(source, true); });
    kind.reset();
    if (status.result) kind = status.result->kind;
    return !status.failed;
}

std::optional<std::vector<BackupEntry>> backups_of(std::string_view source,
                                                   std::optional<platform::EntryKind> kind) {
    const std::string folder = backup_folder_of(source);
    const std::string_view file_name = source_last_part(source);
    std::string names;
    if (guarded_call([&] { return platform::folder_names(folder, names); }).failed) return std::nullopt;
    std::vector<BackupEntry> found;
    for (std::size_t at = 0; at < names.size();) {
        const std::size_t end = names.find('\0', at);
        const std::string_view name = std::string_view(names).substr(at, end - at);
        at = end + 1;
        const std::optional<BackupStamp> stamp = backup_stamp(file_name, name);
        if (!stamp) continue;
        std::string path = folder + platform::folder_separator + std::string(name);
        // A backup whose time cannot be told cannot be placed among the
        // others: the list is not to be trusted without it.
        const auto found_status = guarded_call([&] { return platform::entry_status(path, false); });
        if (found_status.failed) return std::nullopt;
        const std::optional<platform::EntryStatus>& status = found_status.result;
        if (!status || status->kind == platform::EntryKind::other) continue;
        const bool is_folder = status->kind == platform::EntryKind::folder;
        if (kind && (*kind == platform::EntryKind::folder) != is_folder) continue;
        found.push_back({std::move(path), backup_time(*stamp, stamp_value(status->changed)), is_folder});
    }
    std::sort(found.begin(), found.end(), newer);
    return found;
}

std::optional<Failure> list_backups(const Request& request) {
    const char end = request.null_ends ? '\0' : '\n';
    for (const std::string& source : request.sources) {
        std::optional<platform::EntryKind> kind;
        const std::optional<std::vector<BackupEntry>> found = backups_of_source(source, kind);
        if (!found) return failed("List failed: ", source);
        if (found->empty()) return no_backup(source);
        std::string lines;
        for (const BackupEntry& backup : *found) (lines += backup.path) += end;
        print_answer(lines);
    }
    return std::nullopt;
}

std::optional<Failure> restore_backups(const Request& request, const BackupSettings& settings,
                                       std::string_view suffix) {
    std::vector<BackupEntry> chosen;
    std::vector<std::optional<platform::EntryKind>> kinds;
    for (const std::string& source : request.sources) {
        if (auto failure = choose_backup(source, request.at, chosen, kinds)) return failure;
    }
    BackupSettings copying = settings;
    copying.copy = 1;
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        const std::string& source = request.sources[i];
        const std::optional<platform::EntryKind> kind = kinds[i];
        if (kind && same_as_backup(source, chosen[i])) continue;
        if (kind) {
            const platform::Transfer current{source, compose_target(source, suffix, settings)};
            // The backup of the file as it is would take the place of the one
            // to be restored (the same name, with -unique, on the same day).
            if (current.target == chosen[i].path) return failed("Restore failed: ", source);
            if (request.dry_run) {
                print_answer("+ " + current.target + "\n");
            } else if (auto failure = transfer_files({&current, 1}, copying)) {
                return failure;
            }
        }
        if (request.dry_run) {
            print_answer("+ " + source + "\n");
        } else if (!guarded_call([&] { return platform::restore_backup(chosen[i].path, source); },
                                 FailureRule::error_set_and_result_false)
                        .result) {
            return failed("Restore failed: ", source);
        }
    }
    return std::nullopt;
}

void leave_out_unchanged(std::vector<platform::Transfer>& transfers) {
    std::erase_if(transfers, [](const platform::Transfer& transfer) {
        std::optional<platform::EntryKind> kind;
        const std::optional<std::vector<BackupEntry>> found = backups_of_source(transfer.source, kind);
        return kind && found && !found->empty() && same_as_backup(transfer.source, found->front());
    });
}

std::optional<Failure> keep_newest(const std::vector<RunSource>& sources, std::uint32_t keep, bool dry_run,
                                   StampValue run_time) {
    std::vector<std::string> removed;
    for (const RunSource& source : sources) {
        std::optional<std::vector<BackupEntry>> found = backups_of(source.source, source.kind);
        if (!found) return failed("Removal failed: ", backup_folder_of(source.source));
        if (dry_run && !source.made.empty()) {
            std::erase_if(*found, [&](const BackupEntry& backup) { return backup.path == source.made; });
            found->push_back({source.made, run_time, source.kind == platform::EntryKind::folder});
            std::sort(found->begin(), found->end(), newer);
        }
        // Oldest first, and never the backup this run made.
        for (std::size_t i = found->size(); i > keep; --i) {
            if ((*found)[i - 1].path != source.made) removed.push_back(std::move((*found)[i - 1].path));
        }
    }
    if (dry_run) {
        for (const std::string& path : removed) print_answer("- " + path + "\n");
        return std::nullopt;
    }
    std::size_t done = 0;
    guarded_call(
        [&] {
            done = platform::remove_backups(removed);
            return done == removed.size();
        },
        FailureRule::error_set_and_result_false);
    if (done < removed.size()) return failed("Removal failed: ", removed[done]);
    return std::nullopt;
}
