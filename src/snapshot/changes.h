// The marks of --diff: what changed of an entry between a backup's tree and
// the tree as it is, from plain facts of both.
#pragma once

#include <cstdint>

enum class EntryType : std::uint8_t { file, folder, link, device, other };

// What an entry's status says.
struct EntryFacts {
    EntryType type = EntryType::other;
    std::uint32_t permissions = 0;  // the mode's permission bits
    std::uint32_t owner = 0;
    std::uint32_t group = 0;
    std::uint64_t device_number = 0;  // a device's
};

// What was read beyond the status, where the type is the same.
struct EntryReadings {
    bool same_bytes = true;        // a file's (its size included)
    bool same_destination = true;  // a link's
    bool same_attributes = true;   // compared only where permissions are
};

// Where the type or a device's number changed, the mark is 'M' and nothing
// more need be read.
bool kind_changed(const EntryFacts& was, const EntryFacts& is);

// 'M' its type or contents changed; 'm' its permission bits, owner or group
// (where the backup's disk keeps them: permissions), its link destination
// or its attributes; 0 nothing.
char change_mark(const EntryFacts& was, const EntryFacts& is, const EntryReadings& read, bool permissions);
