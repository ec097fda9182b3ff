// A file's backups put to use (POSIX): listing them, restoring one, keeping
// the newest few, and leaving out a copy that would change nothing. Which
// names count and their order are the history's rules; this reads the
// folders and carries out what those rules choose.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cmdline/cmdline.h"
#include "history/policy.h"
#include "history/retention.h"
#include "platform/platform.h"
#include "core/settings.h"

// What stands at a source's name (a link followed), and whose it is: a
// file's backups are files (and links), a folder's are folders; where
// nothing stands there, either.
struct SourceState {
    std::optional<platform::EntryKind> kind;
    std::optional<UserId> owner;
};

// False where what stands at the source's name cannot be told, with the
// reason in error.
bool look_at(const std::string& source, SourceState& state, platform::ErrorCode& error);

// The backups of a source in that state in its backup folder, newest first
// (with the sizes of files where asked); none where that folder cannot be
// read, with the reason in error.
std::optional<std::vector<BackupEntry>> backups_of(std::string_view source, const SourceState& state,
                                                   platform::ErrorCode& error, bool sizes = false);

// Prints the backups of each source, a path a line (or NUL-ended); status 2
// for the first source without one, after the lines of those before it.
std::optional<Failure> list_backups(const Request& request);

// Compares each source with its newest backup (made by request.at, where
// given): a file by diff -u, a folder a line (or, with --json, an object) a
// changed entry. Status 1 where any differs; status 2 for a source without a
// backup, 3 where a side cannot be read, at the first such source.
std::optional<Failure> diff_backups(const Request& request, std::int32_t& status);

// Puts back each source's newest backup (made by request.at, where given).
// Every source's backup is chosen before any is restored; where a source
// differs from its backup, it is first backed up as a copy under the run's
// stamp.
std::optional<Failure> restore_backups(const Request& request, const BackupSettings& settings, std::string& stamp);

// Gives each folder's snapshot the newest earlier snapshot of that folder to
// share its unchanged files with.
void share_unchanged(std::vector<platform::Transfer>& transfers);

// Leaves out the copies whose source its newest backup already equals.
void leave_out_unchanged(std::vector<platform::Transfer>& transfers);

// A source of a backup run, what stood at its name, and its new backup's
// path (empty where none was made).
struct RunSource {
    std::string source;
    SourceState state;
    std::string made;
};

// A dry run prints its plan instead of carrying it out: lines of text, or
// JSON objects (--json).
enum class Plan : std::uint8_t { none, lines, json };

// Prints the backups a dry run would make: "+ PATH", or an object with the
// action "make".
void print_planned(const std::vector<platform::Transfer>& transfers, std::string_view stamp, bool json);

// Removes each source's backups that the retention rules do not keep,
// oldest first, never the one the run made; a dry run prints "= PATH
// (reasons)" for each kept and "- PATH" for each it would remove instead
// (or objects with the actions "keep" and "remove"), counting the backups
// the run would make as made at the run's stamp.
std::optional<Failure> keep_backups(const std::vector<RunSource>& sources, const Retention& rules, Plan plan,
                                    std::string_view stamp);
