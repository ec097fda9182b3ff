#include "run/keep.h"

#include "names/backup_names.h"
#include "history/json_lines.h"
#include "snapshot/room.h"
#include "run/backup.h"
#include "run/guarded.h"
#include "run/run.h"

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
