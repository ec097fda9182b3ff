// A file's backups put to use (POSIX): finding them, keeping the newest
// few, and leaving out a copy that would change nothing (listing, comparing
// and restoring are a path's versions'). Which names count and their order
// are the history's rules; this reads the folders and carries out what
// those rules choose.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
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

// The patterns a backup was made with: a folder snapshot's recorded ones;
// none where they cannot be read, with the reason in error.
std::optional<std::vector<std::string>> excludes_of(const BackupEntry& backup, platform::ErrorCode& error);

// Whether a backup folder's file system keeps permission bits and owners,
// which are compared only then; where that cannot be told, they are not.
bool permissions_kept_in(const std::string& folder);

// Whether a source equals what stands at a path (a backup, or a version
// held open): a file byte for byte, a folder entry for entry but those the
// patterns leave out; permission bits and owners only where asked. Where
// either cannot be read, they do not count as equal.
bool same_contents_as(const std::string& source, const std::string& path, bool folder, bool permissions,
                      std::span<const std::string> excludes);

// A backup as --json gives it: where it is, its stamp as given to --at and
// as a local time, its kind and a file's size.
std::vector<std::pair<std::string_view, std::string>> backup_members(const BackupEntry& backup);

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
// (reasons)" for each kept and "- PATH (frees SIZE)" for each it would
// remove instead, then what all of them free (or objects with the actions
// "keep", "remove" and "total"), counting the backups the run would make as
// made at the run's stamp.
std::optional<Failure> keep_backups(const std::vector<RunSource>& sources, const Retention& rules, Plan plan,
                                    std::string_view stamp);
