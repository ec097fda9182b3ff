// A path's versions: its own backups, and the entry at its place inside each
// snapshot of a folder above it. Where they can stand, when two entries next
// to each other hold one version, and which entry stands for each version.
// Plain rules over paths and facts; the folders are read elsewhere.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "history/policy.h"

// Where versions of a path can stand: the backups of a source (the path
// itself, or a folder above it) in that source's backup folder, and the
// path inside each of them.
struct VersionPlace {
    std::string source;  // the path as typed, or a folder above it: "proj/src", "/home/u"
    std::string folder;  // the source's backup folder, as a backup run names it: "backup/proj"
    std::string inside;  // the path inside each backup: "src/main.c"; empty for the path's own

    friend bool operator==(const VersionPlace&, const VersionPlace&) = default;
};

// The places of a POSIX path's versions: its own backups first, then the
// snapshots of each folder above it, the nearest first. Empty and "." parts
// are dropped, as a backup run drops them, so "./proj/x" and "proj//x" are
// "proj/x". A path with a ".." part has its own backups alone: a path
// inside a snapshot never leaves it. "/" itself has no snapshots.
std::vector<VersionPlace> version_places(std::string_view path);

// What an entry that holds a version shows without being read.
enum class VersionKind : std::uint8_t { file, folder, link, other };
struct VersionFacts {
    VersionKind kind = VersionKind::file;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint32_t permissions = 0;  // the mode's permission bits
    std::uint32_t owner = 0;
    std::uint32_t group = 0;
    std::uint64_t size = 0;  // a file's bytes, a link's destination's length
    // A file's SHA-256, as recorded when its backup was made.
    std::optional<std::array<std::uint8_t, 32>> digest = std::nullopt;
};

// A version found: the entry, with its path and times as a backup's (its
// path "backup/proj.20261208.13000000/src/main.c"), and the backup that
// holds it with the path inside that backup (empty: the entry is the
// backup itself), and what it shows.
struct Version {
    BackupEntry entry;
    std::string backup;
    std::string inside;
    VersionFacts facts = {};  // where they were asked for
};

// Newest first, in the one order of backups: by the instant made, then by
// path, the greater first.
void sort_newest_first(std::vector<Version>& versions);

enum class Likeness : std::uint8_t { same, different, read_contents };

// Whether two entries hold one version. The same file (a snapshot shares
// it with the one before) does. Another kind, permission bits, owner, group
// or size (not a folder's) does not; else the recorded digests tell where
// both have one, and the contents (bytes, destination, tree) where not.
// Times alone make no new version, as for --if-changed.
Likeness likeness(const VersionFacts& one, const VersionFacts& other);

// A file this small is read to compare it rather than looked up in its
// record: a snapshot's record holds a line for each of its files, and
// parsing one costs more than reading a few hundred KiB.
inline constexpr std::uint64_t compared_by_reading = std::uint64_t{1} << 20;

// The version number of each entry, newest first, from whether each holds
// the same version as the one after it (the last flag is not read): the
// entries next to each other that hold one version share its number, and
// the oldest version is 1, so that a number stays as later backups come.
std::vector<std::uint32_t> version_numbers(const std::vector<bool>& same_as_next);

// For each version, the entry that first saved it: the oldest of the
// entries next to each other that hold it; newest version first.
std::vector<std::size_t> first_saved(std::span<const std::uint32_t> numbers);
