// The backup itself: the name suffix, the backup folder, the source test, the
// target path and the move or copy.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "run/settings.h"

inline constexpr std::string_view backup_folder_name = "backup";

// The separator and the chosen stamp parts, date part first.
std::string build_suffix(std::string_view stamp, const BackupSettings& settings);

// The 1-based position of the extension dot, 0 when there is none. Only the
// last part of the name, after its last folder separator, is searched, and
// its last character is never taken: a dot that ends the name does not count.
// On POSIX a name whose only dot is its first character (".bashrc") has no
// extension: that dot marks a hidden file.
std::int32_t find_extension_dot(std::string_view source);
// The same, where a leading dot starts an extension too (the Windows rule):
// names made that way are still read as backups.
std::int32_t find_any_extension_dot(std::string_view source);

// A source name as a path inside the backup folder, its folder parts kept:
// without a leading "/", "." parts or repeated slashes (POSIX).
std::string path_inside_backup(std::string_view source);

// The backup folder, the folder separator, then the source name (on POSIX as
// a path inside the backup folder) with the suffix before its extension (or
// after the whole name).
std::string compose_target(std::string_view source, std::string_view suffix,
                           const BackupSettings& settings);

// The record that a backup's digests go into: the stamp its suffix holds,
// its digits only ("2026120813052599", or 8 digits for one part).
std::string record_of_suffix(std::string_view suffix);

// True when a folder part of the path is "..": such a target would lie outside
// the backup folder.
bool leaves_backup_folder(std::string_view target);

// Creates the backup folder; returns the error where it could not be made
// (whether that matters is the run's to say).
platform::ErrorCode make_backup_folder();

// Status 2 when the source cannot be found.
std::optional<Failure> check_source(const std::string& source);

// Status 3 when the target would lie outside the backup folder (on POSIX:
// when a folder part of the source is "..").
std::optional<Failure> check_target(std::string_view source, const std::string& target);

// A failure whose message ends with the system's reason for it, as POSIX
// tools give theirs ("Backup failed: backup/x.….txt: File name too long");
// where no reason was set, and on Windows, the message stays as it is.
Failure with_reason(std::int32_t status, std::string message, platform::ErrorCode error);

// The stamp of the current local time.
std::string current_stamp();

// Whether a run's names hold the whole stamp (POSIX): then no backup may
// replace another of its name, since both are versions of their own. A name
// of one part is the user's choice of a coarser name, which a later backup
// of that day (or time) replaces.
bool whole_stamp(const BackupSettings& settings);

// The stamp given, or where it is whole and a target of the sources already
// stands, a later one, taken at the clock's next hundredths, under which
// none stands yet: two runs in one hundredth never share a name (POSIX).
std::string unused_stamp(std::string stamp, const BackupSettings& settings,
                         const std::vector<std::string>& sources);

// Moves or copies each source to its target, in order (on POSIX making the
// folders they need inside the backup folder); status 3 for the first that
// fails, the ones before it made. Where a whole stamp's name was taken in
// the meantime (by another run), the stamp moves on to the clock's next
// hundredth and the rest get targets under it.
std::optional<Failure> transfer_files(std::vector<platform::Transfer>& transfers, const BackupSettings& settings,
                                      std::string& stamp);
