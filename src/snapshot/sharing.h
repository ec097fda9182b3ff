// Which files a snapshot may share with the snapshot before it: a hard
// link to the earlier snapshot's file only where that file is provably the
// version the source holds now. Plain facts in, a decision out.
#pragma once

#include <cstdint>
#include <optional>

#include "snapshot/record.h"

// What a file's status says, with times as instants.
struct FileFacts {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    Nanoseconds modified = 0;
    Nanoseconds changed = 0;
    std::uint32_t mode = 0;  // kind and permission bits
    std::uint32_t owner = 0;
    std::uint32_t group = 0;
};

struct SharingFacts {
    FileFacts source;
    FileFacts earlier;  // the earlier snapshot's file of the same name
    // The earlier snapshot's record of that file, where it has one.
    std::optional<SourceRead> recorded;
    // The earlier file's change time is not after its snapshot took its
    // name: nothing changed it since (a later link or removal of another
    // name does, and only bytes then tell).
    bool earlier_as_made = false;
    // The source's file system keeps change times from the kernel's clock to
    // the nanosecond (ext4, XFS, btrfs, tmpfs, F2FS): elsewhere (FUSE, FAT)
    // a change time may be the modification time, set at will.
    bool exact_change_times = false;
};

enum class Sharing : std::uint8_t {
    copy,           // a file of its own
    link,           // the earlier file, its record's digest carried over
    compare_bytes,  // the earlier file only where the bytes are the same
};

// The kernel stamps a change by a clock that moves once a tick (10 ms at
// 100 Hz, the slowest), which can be that much behind the clock read before
// a file was read: a change stamped less than this before the read may
// have come after it, and leave the same change time again.
inline constexpr Nanoseconds change_clock_lag = 20'000'000;

// The earlier file is the same version where the earlier snapshot read
// this very file (its device and inode), its change time has not moved
// since then, that change came safely before the read, and the earlier
// file is as that snapshot made it. Files that differ in size, times,
// kind, permission bits or owner are never shared; the source itself (a
// tree put back by hard links) neither.
Sharing sharing_for(const SharingFacts& facts);

// After a comparison of the bytes: the earlier file is shared where they
// are the same and its record, where it has one, holds the digest of them.
bool share_compared(bool same_bytes, const Digest& source_digest, const std::optional<Digest>& recorded);
