// POSIX only: every version of a path, end to end, over one history of file
// backups and snapshots of two levels of folders: listed, told apart,
// restored over the path or beside it, compared, and what each one costs.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "snapshot/room.h"
#include "support/run_table.h"
#include "support/sandbox.h"
#include "support/spawn.h"

namespace {

namespace fs = std::filesystem;

struct Case {
    Sandbox sandbox;
    ProgramRun result;

    fs::path at(const std::string& name) const { return sandbox.path() / name; }
    // The one backup whose name starts so ("proj.20261204").
    std::string backup(const std::string& start) const {
        for (const std::string& name : sandbox.backups()) {
            if (name.starts_with(start)) return "backup/" + name;
        }
        ADD_FAILURE() << "no backup " << start;
        return {};
    }
};

// A run of the history, its clock set to 10:00 UTC on a day of December 2026.
void step(Case& c, const std::string& day, const std::vector<std::string>& arguments) {
    const std::vector<std::string> launcher{"env", "TZ=UTC", "NO_FAKE_STAT=1", "faketime", "-f",
                                            "@2026-12-" + day + " 10:00:00"};
    const ProgramRun run = run_tesrak_via(launcher, arguments, c.sandbox.path());
    ASSERT_EQ(run.exit_code, 0) << day << ": " << run.printed();
}

// proj/src/main.c is v1 in the snapshot of proj of the 1st and its own
// backup of the 2nd; v2 in the snapshot of proj/src of the 3rd and of proj
// of the 4th; missing from that of the 5th; made again, v2 as before, for
// the 6th's.
void history(Case& c) {
    if (std::system("command -v faketime >/dev/null") != 0) GTEST_SKIP() << "faketime is not installed";
    c.sandbox.write("proj/src/main.c", "v1\n");
    c.sandbox.write("proj/src/util.c", "util\n");
    c.sandbox.write("proj/doc/readme", "readme\n");
    step(c, "01", {"-copy", "proj"});
    step(c, "02", {"-copy", "proj/src/main.c"});
    c.sandbox.write("proj/src/main.c", "v2\n");
    step(c, "03", {"-copy", "proj/src"});
    step(c, "04", {"-copy", "proj"});
    fs::remove(c.at("proj/src/main.c"));
    step(c, "05", {"-copy", "proj"});
    c.sandbox.write("proj/src/main.c", "v2\n");
    step(c, "06", {"-copy", "proj"});
}

std::function<void(Case&)> history_then(std::function<void(Case&)> more) {
    return [=](Case& c) {
        history(c);
        if (!testing::Test::IsSkipped() && !testing::Test::HasFatalFailure()) more(c);
    };
}

const std::string main_versions =
    "backup/proj.20261206.{D}/src/main.c\nbackup/proj.20261204.{D}/src/main.c\n"
    "backup/proj/src.20261203.{D}/main.c\nbackup/proj/src/main.20261202.{D}.c\n"
    "backup/proj.20261201.{D}/src/main.c\n";

// A member of a JSON line as its text stands: "2", "\"backup/x\"".
std::string member(const std::string& line, const std::string& name) {
    const std::size_t start = line.find("\"" + name + "\":");
    if (start == std::string::npos) return {};
    const std::size_t value = start + name.size() + 3;
    return line.substr(value, line.find_first_of(",}", value) - value);
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The test's own count of what backups take, by walking their trees: each
// inode once, its blocks; freed in turn where the names met reach its link
// count (a folder's own).
std::vector<Room> counted(const Case& c, const std::vector<std::string>& paths, bool in_turn) {
    std::vector<Room> rooms;
    std::map<std::pair<dev_t, ino_t>, nlink_t> met_before;
    for (const std::string& path : paths) {
        std::map<std::pair<dev_t, ino_t>, std::pair<struct stat, nlink_t>> inodes;
        const auto note = [&](const fs::path& entry) {
            struct stat status {};
            EXPECT_EQ(lstat(entry.c_str(), &status), 0) << entry;
            ++inodes.try_emplace({status.st_dev, status.st_ino}, status, 0).first->second.second;
        };
        note(c.at(path));
        if (fs::is_directory(fs::symlink_status(c.at(path)))) {
            for (const fs::directory_entry& entry : fs::recursive_directory_iterator(c.at(path))) note(entry.path());
        }
        Room room;
        for (const auto& [identity, seen] : inodes) {
            const auto& [status, names] = seen;
            const std::uint64_t bytes = static_cast<std::uint64_t>(status.st_blocks) * 512;
            const nlink_t links = S_ISDIR(status.st_mode) ? 1 : status.st_nlink;
            nlink_t& before = met_before[identity];
            room.size += bytes;
            if ((in_turn ? before : 0) + names >= links) room.frees += bytes;
            if (in_turn) before += names;
        }
        rooms.push_back(room);
    }
    return rooms;
}

using Row = RunRow<Case>;

std::vector<Row> rows() {
    return {
        // Its own backups and its place in the snapshots of both folders
        // above it, newest first; a snapshot without it is a gap.
        {"list_every_version", history, {"--list", "proj/src/main.c"}, 0, main_versions, {}},
        {"list_as_typed_with_dots", history, {"--list", "./proj//src/main.c"}, 0, main_versions, {}},
        // The oldest entry of each run of one version: when it was first saved.
        {"list_distinct", history, {"--list", "--distinct", "proj/src/main.c"}, 0,
         "backup/proj/src.20261203.{D}/main.c\nbackup/proj.20261201.{D}/src/main.c\n", {}},
        // The file made again with the same bytes is the same version.
        {"list_json_numbers_versions", history, {"--list", "--json", "proj/src/main.c"}, 0, std::nullopt,
         [](Case& c) {
             std::vector<std::string> numbers;
             std::vector<std::string> holders;
             for (const std::string& line : lines_of(c.result.output)) {
                 numbers.push_back(member(line, "version"));
                 holders.push_back(member(line, "backup"));
             }
             EXPECT_EQ(numbers, (std::vector<std::string>{"2", "2", "2", "1", "1"}));
             ASSERT_EQ(holders.size(), 5U);
             EXPECT_TRUE(matches("\"backup/proj/src.20261203.{D}\"", holders[2])) << holders[2];
             EXPECT_TRUE(matches("\"backup/proj/src/main.20261202.{D}.c\"", holders[3])) << holders[3];
         }},
        {"list_a_folder_inside_snapshots", history, {"--list", "proj/src"}, 0,
         "backup/proj.20261206.{D}/src\nbackup/proj.20261205.{D}/src\nbackup/proj.20261204.{D}/src\n"
         "backup/proj/src.20261203.{D}\nbackup/proj.20261201.{D}/src\n", {}},
        {"list_a_path_with_no_version", history, {"--list", "proj/src/none.c"}, 2,
         "No backup of: proj/src/none.c\nErrorLevel: 2\n", {}},
        // A link inside a snapshot leads nowhere: the 5th's src made a link
        // to the 4th's, which holds main.c.
        {"nothing_followed_through_a_link_in_a_snapshot", history_then([](Case& c) {
             const std::string fifth = c.backup("proj.20261205");
             fs::remove_all(c.at(fifth + "/src"));
             fs::create_symlink("../" + c.backup("proj.20261204").substr(7) + "/src", c.at(fifth + "/src"));
         }),
         {"--list", "proj/src/main.c"}, 0, main_versions, {}},

        {"restore_a_file_from_a_snapshot", history, {"--restore", "--at=20261201", "proj/src/main.c"}, 0, "",
         [](Case& c) {
             EXPECT_EQ(c.sandbox.read("proj/src/main.c"), "v1\n");
             // The version replaced was backed up first.
             const std::vector<std::string> own = c.sandbox.backups("backup/proj/src");
             ASSERT_EQ(own.size(), 2U);
             EXPECT_EQ(c.sandbox.read("backup/proj/src/" + own[1]), "v2\n");
         }},
        {"restore_a_deleted_file", history_then([](Case& c) { fs::remove(c.at("proj/src/main.c")); }),
         {"--restore", "proj/src/main.c"}, 0, "",
         [](Case& c) {
             EXPECT_EQ(c.sandbox.read("proj/src/main.c"), "v2\n");
             EXPECT_EQ(c.sandbox.backups("backup/proj/src").size(), 1U);
         }},
        {"restore_a_folder_from_a_snapshot", history, {"--restore", "--at=20261201", "proj/src"}, 0, "",
         [](Case& c) {
             EXPECT_EQ(c.sandbox.read("proj/src/main.c"), "v1\n");
             EXPECT_EQ(c.sandbox.read("proj/src/util.c"), "util\n");
             EXPECT_FALSE(fs::is_symlink(c.at("proj/src")));
             const std::vector<std::string> snapshots = c.sandbox.backups("backup/proj");
             ASSERT_EQ(snapshots.size(), 3U) << "src/, the 3rd's and the folder as it was";
             EXPECT_EQ(c.sandbox.read("backup/proj/" + snapshots[2] + "/main.c"), "v2\n");
         }},
        {"restore_output_to_a_new_file", history, {"--restore", "--at=20261201", "--output=old.c", "proj/src/main.c"},
         0, "",
         [](Case& c) {
             EXPECT_EQ(c.sandbox.read("old.c"), "v1\n");
             EXPECT_EQ(c.sandbox.read("proj/src/main.c"), "v2\n");
             EXPECT_EQ(c.sandbox.backups("backup/proj/src").size(), 1U) << "nothing backed up first";
         }},
        {"restore_output_to_a_new_folder", history, {"--restore", "--at=20261201", "--output=old", "proj/src"}, 0, "",
         [](Case& c) {
             EXPECT_EQ(c.sandbox.read("old/main.c") + c.sandbox.read("old/util.c"), "v1\nutil\n");
             EXPECT_EQ(c.sandbox.read("proj/src/main.c"), "v2\n");
         }},
        {"restore_output_never_replaces", history_then([](Case& c) { c.sandbox.write("taken.c", "mine\n"); }),
         {"--restore", "--at=20261201", "--output=taken.c", "proj/src/main.c"}, 3,
         "Restore failed: taken.c: File exists\nErrorLevel: 3\n",
         [](Case& c) { EXPECT_EQ(c.sandbox.read("taken.c"), "mine\n"); }},
        {"restore_output_to_standard_output", history, {"--restore", "--at=20261202", "--output=-", "proj/src/main.c"},
         0, "v1\n", {}},
        // The bytes go out as they are read; the record tells afterwards.
        {"restore_output_of_a_damaged_version", history_then([](Case& c) {
             c.sandbox.write(c.backup("proj.20261201") + "/src/main.c", "x1\n");
         }),
         {"--restore", "--at=20261201", "--output=-", "proj/src/main.c"}, 3,
         "x1\nRestore failed: proj/src/main.c: Backup is damaged: its bytes differ from its record\nErrorLevel: 3\n",
         {}},

        {"diff_of_two_versions_of_a_file", history, {"--diff", "--at=20261201", "--to=20261204", "proj/src/main.c"}, 1,
         "--- backup/proj.20261201.{D}/src/main.c{T}\n+++ backup/proj.20261204.{D}/src/main.c{T}\n"
         "@@ -1 +1 @@\n-v1\n+v2\n", {}},
        {"diff_of_two_versions_of_a_folder", history, {"--diff", "--at=20261201", "--to=20261205", "proj"}, 1,
         "- src/main.c\n", {}},
        // One inside a snapshot of proj, the other a snapshot of proj/src.
        {"diff_of_a_folder_across_levels", history, {"--diff", "--at=20261201", "--to=20261203", "proj/src"}, 1,
         "M main.c\n", {}},
        {"diff_with_the_newest_version", history, {"--diff", "proj/src/main.c"}, 0, "", {}},

        // Each snapshot's room and what removing it alone frees, against the
        // test's own count; its size as du -sh gives it.
        {"list_sizes", history, {"--list", "--size", "--json", "proj"}, 0, std::nullopt,
         [](Case& c) {
             const std::vector<std::string> lines = lines_of(c.result.output);
             ASSERT_EQ(lines.size(), 4U);
             for (const std::string& line : lines) {
                 const std::string path = member(line, "path");
                 const Room room = counted(c, {path.substr(1, path.size() - 2)}, false).front();
                 EXPECT_EQ(member(line, "room"), std::to_string(room.size)) << path;
                 EXPECT_EQ(member(line, "frees"), std::to_string(room.frees)) << path;
             }
         }},
        {"list_sizes_as_du_writes_them", history, {"--list", "--size", "proj"}, 0, std::nullopt,
         [](Case& c) {
             for (const std::string& line : lines_of(c.result.output)) {
                 const std::string path = line.substr(line.rfind('\t') + 1);
                 const std::string command = "cd '" + c.sandbox.path().string() + "' && LC_ALL=C du -sh " + path +
                                             " | cut -f 1 > du.out";
                 ASSERT_EQ(std::system(command.c_str()), 0) << command;
                 const Room room = counted(c, {path}, false).front();
                 const std::string du = c.sandbox.read("du.out");
                 const std::string size = du.substr(0, du.size() - 1);
                 EXPECT_EQ(line, size + "\t" + size_text(room.frees) + "\t" + path);
             }
         }},
        // A dry run's removals, oldest first, each freeing what the ones
        // before it left (the files all four share go with the last), and
        // the whole.
        {"dry_run_says_what_each_removal_frees", history, {"--dry-run", "--json", "--keep=1", "-copy", "proj"}, 0,
         std::nullopt,
         [](Case& c) {
             std::vector<std::string> removed;
             std::vector<std::string> frees;
             std::string total;
             for (const std::string& line : lines_of(c.result.output)) {
                 const std::string action = member(line, "action");
                 if (action == "\"remove\"") {
                     const std::string path = member(line, "path");
                     removed.push_back(path.substr(1, path.size() - 2));
                     frees.push_back(member(line, "frees"));
                 }
                 if (action == "\"total\"") total = member(line, "frees");
             }
             EXPECT_EQ(removed, (std::vector<std::string>{c.backup("proj.20261201"), c.backup("proj.20261204"),
                                                          c.backup("proj.20261205"), c.backup("proj.20261206")}));
             std::vector<std::string> expected;
             std::uint64_t all = 0;
             for (const Room& room : counted(c, removed, true)) {
                 expected.push_back(std::to_string(room.frees));
                 all += room.frees;
             }
             EXPECT_EQ(frees, expected);
             EXPECT_EQ(total, std::to_string(all));
         }},
        {"dry_run_lines_with_sizes", history, {"--dry-run", "--keep=4", "-copy", "proj"}, 0,
         "+ backup/proj.{D}.{D}\n= backup/proj.20261206.{D} (last 2)\n= backup/proj.20261205.{D} (last 3)\n"
         "= backup/proj.20261204.{D} (last 4)\n- backup/proj.20261201.{D} (frees {T}\nfrees {T}\n",
         [](Case& c) {
             // What it frees as du -h writes it, the same in both lines.
             const std::vector<std::string> lines = lines_of(c.result.output);
             ASSERT_EQ(lines.size(), 6U);
             const std::string frees = size_text(counted(c, {c.backup("proj.20261201")}, true).front().frees);
             EXPECT_TRUE(lines[4].ends_with(" (frees " + frees + ")")) << lines[4];
             EXPECT_EQ(lines[5], "frees " + frees + " in all");
         }},
    };
}

class Versions : public testing::TestWithParam<Row> {};

TEST_P(Versions, Row) {
    const Row& row = GetParam();
    Case c;
    row.setup(c);
    if (IsSkipped() || HasFatalFailure()) return;
    c.result = run_tesrak_via({"env", "TZ=UTC"}, row.arguments, c.sandbox.path());
    EXPECT_EQ(c.result.exit_code, row.status) << c.result.printed();
    if (row.output) {
        EXPECT_TRUE(matches(*row.output, c.result.printed())) << c.result.printed();
    }
    if (row.check) row.check(c);
}

INSTANTIATE_TEST_SUITE_P(PosixVersions, Versions, testing::ValuesIn(rows()),
                         [](const testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

}  // namespace
