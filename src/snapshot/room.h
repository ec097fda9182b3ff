// The room backups take on the disk, and what removing them frees: plain
// sums over facts of their files, folders and links, each counted once.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// One file, folder or link met in a backup, however many names it has there.
struct RoomFacts {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t bytes = 0;  // what it takes on the disk
    std::uint64_t links = 1;  // its names on the disk; 1 for a folder, which is the backup's own
    std::uint64_t names = 1;  // of those, the ones met in the backup

    friend bool operator==(const RoomFacts&, const RoomFacts&) = default;
};

struct Room {
    std::uint64_t size = 0;   // the bytes of everything in it, a shared file once
    std::uint64_t frees = 0;  // those of the files none of whose names lies outside it

    friend bool operator==(const Room&, const Room&) = default;
};

// The room one backup takes, and what removing it alone would free.
Room room_of(std::span<const RoomFacts> facts);

// What each backup frees when they are removed one after the other, in
// that order: a file shared by several of them goes with its last name, so
// the last of those is credited with it, and the sum is what all free.
std::vector<std::uint64_t> freed_in_turn(std::span<const std::vector<RoomFacts>> backups);

// A number of bytes as du -h writes it: powers of 1024 with the letters
// K M G T P E, one decimal below 10, always rounded up ("0", "1023",
// "1.0K", "1.1K", "10K", "1.0M").
std::string size_text(std::uint64_t bytes);
