// The record of what a backup holds: for each regular file a run wrote, its
// SHA-256 and size, and for a snapshot's files the source they were read
// from. One record a stamp and backup folder, in the line format of
// coreutils' sha256sum, so that `sha256sum -c --strict` checks it without
// Tesrak: each file's line follows a comment line with its other facts.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using Digest = std::array<std::uint8_t, 32>;

// A moment in nanoseconds since 1970-01-01 00:00 UTC: never a local time.
using Nanoseconds = std::int64_t;

// Where a snapshot read a file, and when: the shortcut for the next
// snapshot rests on these.
struct SourceRead {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    Nanoseconds changed = 0;  // the file's change time, as the version read had it
    Nanoseconds read = 0;     // the clock just before that version was read

    friend bool operator==(const SourceRead&, const SourceRead&) = default;
};

struct RecordLine {
    std::string path;  // relative to the backup folder: "notes.….txt", "proj.…/src/main.c"
    Digest digest = {};
    std::uint64_t size = 0;
    std::optional<SourceRead> source = std::nullopt;

    friend bool operator==(const RecordLine&, const RecordLine&) = default;
};

// The folder in a backup folder that holds the records, each named by the
// stamp its backups' names hold (as --at takes it).
inline constexpr std::string_view records_folder = ".tesrak.sha256";

// The lines as a record's text.
std::string record_text(const std::vector<RecordLine>& lines);

// The lines of a record's text. Lines that are not a file's (comments of
// others, blank or malformed lines) are skipped: whatever is not recorded
// counts as unrecorded, never as damaged.
// Where the sources are not wanted (a check of the bytes), they are not read.
std::vector<RecordLine> parse_record(std::string_view text, bool with_sources = true);

// Whether a recorded path is the backup itself or lies inside it (a
// snapshot's file).
bool belongs_to(std::string_view recorded, std::string_view backup_name);

// The lines of a snapshot's files, their paths made relative to its top.
std::vector<RecordLine> lines_inside(const std::vector<RecordLine>& lines, std::string_view snapshot_name);

// The digest as 64 small hexadecimal digits.
std::string hex_digest(const Digest& digest);

// The record with the lines of some backups replaced: every line of the
// backups named goes, then the lines added follow.
std::vector<RecordLine> replaced_lines(std::vector<RecordLine> lines, const std::vector<std::string>& names,
                                       const std::vector<RecordLine>& added);
