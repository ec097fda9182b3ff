// A file's backups put to use (POSIX): listing them, restoring one, keeping
// the newest few, and leaving out a copy that would change nothing.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cmdline/cmdline.h"
#include "platform/platform.h"
#include "run/backup_names.h"
#include "run/settings.h"

// A backup as a run names it, and the time it stands for.
struct BackupEntry {
    std::string path;  // "backup/conf/app.20261207.13052599.yml"
    StampValue time;
    bool folder;
};

// What stands at a source's name (a link followed): a file's backups are
// files (and links), a folder's are folders; where nothing stands there,
// either. False where that cannot be told.
bool kind_of(const std::string& source, std::optional<platform::EntryKind>& kind);

// The backups of a source of that kind in its backup folder, newest first
// (by time, then by name); none where that folder cannot be read.
std::optional<std::vector<BackupEntry>> backups_of(std::string_view source,
                                                   std::optional<platform::EntryKind> kind);

// Prints the backups of each source, a path a line (or NUL-ended); status 2
// for the first source without one, after the lines of those before it.
std::optional<Failure> list_backups(const Request& request);

// Puts back each source's newest backup (made by request.at, where given).
// Every source's backup is chosen before any is restored; where a source
// differs from its backup, it is first backed up as a copy to its target
// under the run's suffix.
std::optional<Failure> restore_backups(const Request& request, const BackupSettings& settings,
                                       std::string_view suffix);

// Leaves out the copies whose source its newest backup already equals.
void leave_out_unchanged(std::vector<platform::Transfer>& transfers);

// A source of a backup run, what stood at its name, and its new backup's
// path (empty where none was made).
struct RunSource {
    std::string source;
    std::optional<platform::EntryKind> kind;
    std::string made;
};

// Removes each source's backups beyond the newest `keep`, oldest first,
// never the one the run made; a dry run prints "- PATH" for each instead,
// counting the backups the run would make as made at run_time.
std::optional<Failure> keep_newest(const std::vector<RunSource>& sources, std::uint32_t keep, bool dry_run,
                                   StampValue run_time);

// The stamp value of a local time, as the stamp of a run at that time reads.
StampValue stamp_value(const mivo_systemtime& time);
