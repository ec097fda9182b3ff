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
#include "core/settings.h"
#include "names/naming.h"

// Creates the backup folder; returns the error where it could not be made
// (whether that matters is the run's to say).
platform::ErrorCode make_backup_folder();

// Status 2 for the first source, in order, that cannot be found.
std::optional<Failure> check_sources(const std::vector<std::string>& sources);

// Status 3 when the target would lie outside the backup folder (on POSIX:
// when a folder part of the source is "..").
std::optional<Failure> check_target(std::string_view source, const std::string& target, const BackupSettings& settings);

// A failure whose message ends with the system's reason for it, as POSIX
// tools give theirs ("Backup failed: backup/x.….txt: File name too long");
// where no reason was set, and on Windows, the message stays as it is.
Failure with_reason(std::int32_t status, std::string message, platform::ErrorCode error);

// Status 3 for a task's step on what failed ("Diff failed: " and the path),
// with the system's reason.
Failure failed(std::string_view message, std::string_view what, platform::ErrorCode error);

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
