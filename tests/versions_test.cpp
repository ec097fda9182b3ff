// A path's versions without a file system: where they can stand, when
// entries next to each other hold one version, which entry --distinct
// shows, and the room backups take and free.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "snapshot/room.h"
#include "history/versions.h"

namespace {

using Sha256 = std::array<std::uint8_t, 32>;

TEST(Versions, WhereAPathsVersionsCanStand) {
    struct Row {
        std::string path;
        std::vector<VersionPlace> places;
    };
    const std::vector<Row> rows{
        {"proj/src/main.c",
         {{"proj/src/main.c", "backup/proj/src", ""},
          {"proj/src", "backup/proj", "main.c"},
          {"proj", "backup", "src/main.c"}}},
        // "./" and repeated slashes are dropped, as a backup run drops them.
        {"./proj//src/./main.c",
         {{"./proj//src/./main.c", "backup/proj/src", ""},
          {"proj/src", "backup/proj", "main.c"},
          {"proj", "backup", "src/main.c"}}},
        // Absolute paths as backup runs place them; "/" has no snapshots.
        {"/etc/nginx/nginx.conf",
         {{"/etc/nginx/nginx.conf", "backup/etc/nginx", ""},
          {"/etc/nginx", "backup/etc", "nginx.conf"},
          {"/etc", "backup", "nginx/nginx.conf"}}},
        // A folder named with a trailing slash is the folder.
        {"proj/src/", {{"proj/src/", "backup/proj", ""}, {"proj", "backup", "src"}}},
        {"notes.txt", {{"notes.txt", "backup", ""}}},
        // A ".." part: the path's own backups alone.
        {"proj/../x/main.c", {{"proj/../x/main.c", "backup/proj/../x", ""}}},
        {"/", {{"/", "backup", ""}}},
    };
    for (const Row& row : rows) {
        const std::vector<VersionPlace> places = version_places(row.path);
        ASSERT_EQ(places.size(), row.places.size()) << row.path;
        for (std::size_t i = 0; i < places.size(); ++i) {
            EXPECT_EQ(places[i], row.places[i]) << row.path << ": place " << i << " is " << places[i].source << " | "
                                                << places[i].folder << " | " << places[i].inside;
        }
    }
}

TEST(Versions, NewestFirstAcrossPlaces) {
    // The same instant: the greater path first, whichever place it is in.
    std::vector<Version> versions;
    for (const auto& [path, made] : {std::pair{"backup/proj.20261208.13000000/src/main.c", 200},
                                     std::pair{"backup/proj/src/main.20261208.13000000.c", 200},
                                     std::pair{"backup/proj.20261207.13000000/src/main.c", 100},
                                     std::pair{"backup/proj/src.20261209.13000000/main.c", 300}}) {
        Version version;
        version.entry.path = path;
        version.entry.made = made;
        versions.push_back(std::move(version));
    }
    sort_newest_first(versions);
    std::vector<std::string> paths;
    for (const Version& version : versions) paths.push_back(version.entry.path);
    EXPECT_EQ(paths, (std::vector<std::string>{"backup/proj/src.20261209.13000000/main.c",
                                               "backup/proj/src/main.20261208.13000000.c",
                                               "backup/proj.20261208.13000000/src/main.c",
                                               "backup/proj.20261207.13000000/src/main.c"}));
}

TEST(Versions, WhenTwoEntriesHoldOneVersion) {
    const VersionFacts file{VersionKind::file, 1, 10, 0644, 1000, 1000, 5, std::nullopt};
    const auto with = [&](auto change) {
        VersionFacts facts = file;
        change(facts);
        return facts;
    };
    const Sha256 one{1};
    const Sha256 two{2};
    struct Row {
        const char* what;
        VersionFacts other;
        Likeness likeness;
    };
    const std::vector<Row> rows{
        {"the same file, shared by two snapshots", file, Likeness::same},
        {"a copy of it", with([](VersionFacts& f) { f.inode = 11; }), Likeness::read_contents},
        {"another size", with([](VersionFacts& f) { f.inode = 11; f.size = 6; }), Likeness::different},
        {"other permission bits", with([](VersionFacts& f) { f.inode = 11; f.permissions = 0600; }),
         Likeness::different},
        {"another owner", with([](VersionFacts& f) { f.inode = 11; f.owner = 0; }), Likeness::different},
        {"another group", with([](VersionFacts& f) { f.inode = 11; f.group = 0; }), Likeness::different},
        {"a link", with([](VersionFacts& f) { f.inode = 11; f.kind = VersionKind::link; }), Likeness::different},
        {"the same inode on another disk", with([](VersionFacts& f) { f.device = 2; }), Likeness::read_contents},
    };
    for (const Row& row : rows) EXPECT_EQ(likeness(file, row.other), row.likeness) << row.what;
    // Recorded digests decide where both have one.
    const auto recorded = [&](std::uint64_t inode, const Sha256& digest) {
        return with([&](VersionFacts& f) { f.inode = inode; f.digest = digest; });
    };
    EXPECT_EQ(likeness(recorded(10, one), recorded(11, one)), Likeness::same);
    EXPECT_EQ(likeness(recorded(10, one), recorded(11, two)), Likeness::different);
    EXPECT_EQ(likeness(recorded(10, one), with([](VersionFacts& f) { f.inode = 11; })), Likeness::read_contents);
    // A folder's trees are read, whatever its size says.
    VersionFacts folder{VersionKind::folder, 1, 20, 0755, 0, 0, 4096, std::nullopt};
    VersionFacts bigger = folder;
    bigger.inode = 21;
    bigger.size = 8192;
    EXPECT_EQ(likeness(folder, bigger), Likeness::read_contents);
    bigger.permissions = 0700;
    EXPECT_EQ(likeness(folder, bigger), Likeness::different);
}

TEST(Versions, NumbersAndTheEntriesThatFirstSavedThem) {
    struct Row {
        const char* what;
        std::vector<bool> same_as_next;  // newest first
        std::vector<std::uint32_t> numbers;
        std::vector<std::size_t> first;
    };
    const std::vector<Row> rows{
        {"one entry", {false}, {1}, {0}},
        {"all one version", {true, true, false}, {1, 1, 1}, {2}},
        {"each its own", {false, false, false}, {3, 2, 1}, {0, 1, 2}},
        // Changed, then changed back: the old content again is a new version.
        {"changed and changed back", {true, false, false, true, false}, {3, 3, 2, 1, 1}, {1, 2, 4}},
        {"none", {}, {}, {}},
    };
    for (const Row& row : rows) {
        const std::vector<std::uint32_t> numbers = version_numbers(row.same_as_next);
        EXPECT_EQ(numbers, row.numbers) << row.what;
        EXPECT_EQ(first_saved(numbers), row.first) << row.what;
    }
}

TEST(Room, WhatABackupTakesAndFrees) {
    struct Row {
        const char* what;
        std::vector<RoomFacts> facts;
        Room room;
    };
    const std::vector<Row> rows{
        {"a file of its own", {{1, 10, 4096, 1, 1}}, {4096, 4096}},
        {"a file shared with two other snapshots", {{1, 10, 4096, 3, 1}}, {4096, 0}},
        {"a file with both its names inside", {{1, 10, 4096, 2, 2}}, {4096, 4096}},
        {"its own folders, and a shared file",
         {{1, 1, 4096, 1, 1}, {1, 2, 4096, 1, 1}, {1, 10, 8192, 2, 1}}, {16384, 8192}},
        {"nothing", {}, {0, 0}},
    };
    for (const Row& row : rows) EXPECT_EQ(room_of(row.facts), row.room) << row.what;
}

TEST(Room, WhatRemovalsInTurnFree) {
    // Three snapshots share file 10; the first two share 11; 12 is the
    // second's own, with two names in it; each has a folder of its own.
    const std::vector<std::vector<RoomFacts>> snapshots{
        {{1, 1, 4096, 1, 1}, {1, 10, 100, 3, 1}, {1, 11, 1000, 2, 1}},
        {{1, 2, 4096, 1, 1}, {1, 10, 100, 3, 1}, {1, 11, 1000, 2, 1}, {1, 12, 50, 2, 2}},
        {{1, 3, 4096, 1, 1}, {1, 10, 100, 3, 1}},
    };
    EXPECT_EQ(freed_in_turn(snapshots), (std::vector<std::uint64_t>{4096, 4096 + 1000 + 50, 4096 + 100}));
    EXPECT_EQ(freed_in_turn(std::span(snapshots).first(2)), (std::vector<std::uint64_t>{4096, 4096 + 1000 + 50}));
    // The first stays: what it shares stays with it.
    EXPECT_EQ(freed_in_turn(std::span(snapshots).subspan(1)), (std::vector<std::uint64_t>{4096 + 50, 4096}));
    // The same inode number on another disk is another file.
    EXPECT_EQ(freed_in_turn(std::vector<std::vector<RoomFacts>>{{{1, 10, 100, 2, 1}}, {{2, 10, 100, 2, 1}}}),
              (std::vector<std::uint64_t>{0, 0}));
}

TEST(Room, SizesAsDuWritesThem) {
    // Each as du --apparent-size -h prints a file of that size.
    const std::vector<std::pair<std::uint64_t, std::string>> rows{
        {0, "0"},          {1, "1"},           {1023, "1023"},      {1024, "1.0K"},        {1025, "1.1K"},
        {1126, "1.1K"},    {1127, "1.2K"},     {1536, "1.5K"},      {10188, "10K"},        {10240, "10K"},
        {10241, "11K"},    {102400, "100K"},   {1048063, "1.0M"},   {1048575, "1.0M"},     {1048576, "1.0M"},
        {1048577, "1.1M"}, {1572864, "1.5M"},  {10485760, "10M"},   {1073741824, "1.0G"},  {5368709121, "5.1G"},
        {10737418240, "10G"}, {1099511627776, "1.0T"}, {1ULL << 50, "1.0P"}, {1ULL << 60, "1.0E"},
    };
    for (const auto& [bytes, text] : rows) EXPECT_EQ(size_text(bytes), text) << bytes;
}

}  // namespace
