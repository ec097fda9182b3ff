// A file's history: which names in its backup folder count as its backups,
// and their order. Plain rules over stamps, owners and instants; the file
// system is read elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "names/backup_names.h"
#include "tesrak.h"

// A moment as hundredths of a second since 1970-01-01 00:00 UTC.
using Instant = std::int64_t;
using UserId = std::uint32_t;

// A name counts as a backup of a file only where it belongs to the user who
// runs the program, to root, or to the file's owner (where the file exists):
// in a shared folder nobody else can plant a version that a restore would
// put back or that --keep would count.
bool owner_counts(UserId owner, UserId runner, std::optional<UserId> file_owner);

// The calendar fields of a stamp (its date part and time part).
mivo_systemtime stamp_fields(StampValue stamp);

// Whether a backup's stamp alone tells when it was made: it holds both parts
// and its local time stands for one instant.
bool stamp_places(const BackupStamp& stamp, std::span<const Instant> stamp_instants);

// When a backup was made: the instant its stamp's local time stands for;
// where the stamp holds one part only, its change time. In the hour that
// repeats when the clocks go back the local time stands for two instants,
// and the change time only chooses: the later one where it is at or after
// the later instant, else the earlier. A chmod -R or cp -a of the backup
// folder thus never moves a backup out of its stamp's hour.
Instant made_at(const BackupStamp& stamp, std::span<const Instant> stamp_instants, Instant changed);
Instant began_at(const BackupStamp& stamp, std::span<const Instant> stamp_instants);

struct BackupEntry {
    std::string path;  // "backup/conf/app.20261207.13052599.yml"
    Instant made;
    bool folder;
    // The latest instant at which it can have begun to be made: its stamp's
    // (the earlier one, in the hour that repeats); 0 where its name holds
    // one part of the stamp only.
    Instant began;
    // The date and time its calendar periods are read from: its stamp's
    // fields, or where the stamp holds one part only, its change time's.
    mivo_systemtime calendar;
    BackupStamp stamp = {};  // as its name holds it
    bool link = false;       // a symbolic link that was moved
    std::uint64_t size = 0;  // a file's
};

// Newest first: by the instant made, then by name, the greater first.
void sort_newest_first(std::vector<BackupEntry>& backups);

// The newest backup made at or before the instant; none where every one is later.
std::optional<std::size_t> newest_made_by(std::span<const BackupEntry> newest_first, Instant by);
