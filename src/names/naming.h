// A backup's name made from its source's: the stamp's parts with their
// separators, put before the extension dot or after the whole name, inside
// the backup folder. Pure text work, the same on every system but for its
// folder separators.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/settings.h"
#include "core/conventions.h"

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

