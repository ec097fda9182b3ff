// A file's backups put to use (POSIX): finding them, reading what they were
// made with, and leaving out or sharing with the newest when a run backs a
// source up (keeping the newest few is keep's; listing, comparing and
// restoring are a path's versions'). Which names count and their order are
// the history's rules; this reads the folders and carries out what those
// rules choose.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "history/policy.h"
#include "platform/platform.h"
#include "core/settings.h"

// What stands at a source's name (a link followed), and whose it is: a
// file's backups are files (and links), a folder's are folders; where
// nothing stands there, either.
struct SourceState {
    std::optional<platform::EntryKind> kind;
    std::optional<UserId> owner;
};

// The backup folder of a source, as a backup run names it ("backup/conf").
std::string backup_folder_of(std::string_view source);

// The instants a stamp's local time stands for.
std::vector<Instant> instants_of_stamp(StampValue stamp);

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
