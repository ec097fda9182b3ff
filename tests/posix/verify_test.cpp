// POSIX only: the records of what each backup holds, end to end: written by
// every copy, checked by --verify and by coreutils' own sha256sum.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/sandbox.h"
#include "support/spawn.h"

namespace {

namespace fs = std::filesystem;

// Each shell step can run the program as $T and damage(FILE...) overwrites
// the first byte of each file with an X.
int shell_status(const Sandbox& sandbox, const std::string& commands) {
    const std::string prelude = "cd '" + sandbox.path().string() + "' && T='" + TESRAK_EXE +
                                "' && damage() { for f do printf X | dd of=\"$f\" bs=1 conv=notrunc status=none "
                                "|| return 1; done; } && ";
    return std::system((prelude + commands).c_str());
}

void shell(const Sandbox& sandbox, const std::string& commands) {
    ASSERT_EQ(shell_status(sandbox, commands), 0) << commands;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> sorted(std::vector<std::string> lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
}

ino_t inode_of(const fs::path& path) {
    struct stat s {};
    return lstat(path.c_str(), &s) == 0 ? s.st_ino : 0;
}

// A name with a line end, a backslash (both escaped in sha256sum's lines)
// and a byte that is not UTF-8; a file of it, and a folder holding one.
const std::string odd = "a\nb\\c\xff.txt";
const std::string odd_files =
    "n=\"$(printf 'a\\nb\\\\c\\377.txt')\" && echo one > \"$n\" && mkdir t && echo two > \"t/$n\"";

// Twelve files, in the top folder and below; two of them changed between
// two snapshots, so that the newer one shares the other ten.
const std::string twelve = "mkdir -p tree/d && for i in 01 02 03 04 05 06; do echo $i > tree/f$i; done && "
                           "for i in 07 08 09 10 11 12; do echo $i > tree/d/f$i; done";
const std::string two_snapshots_damaged =
    "old=$(ls -d backup/tree.* | head -n 1) && new=$(ls -d backup/tree.* | tail -n 1) && "
    "damage $old/f01 $old/f02 $new/d/f08 $new/d/f10 && rm $new/f05 && mkdir backup/tree.20200101.00000000";

struct Row {
    const char* name;
    std::string before;  // shell commands in the sandbox
    // Runs of the program, or {"sh", COMMANDS}; "{first}" in an argument
    // stands for the oldest record's stamp. The last run is checked.
    std::vector<std::vector<std::string>> runs;
    int status;
    std::optional<std::string> output;  // a pattern for matches(); none: the check decides
    bool sums_pass;  // what sha256sum -c --strict says of backup/
    std::function<void(const Sandbox&, const ProgramRun&)> check = nullptr;
    bool traced = false;  // the last run under strace, its opens in opens.log
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

// How often the verify run opened a path of backup/ whose last part is "a".
int opens_of_a(const Sandbox& s) {
    std::ifstream log(s.path() / "opens.log");
    const std::regex open_of_a(R"(\bopen(at)?\(.*"(backup/[^"]*/)?a")");
    int opens = 0;
    for (std::string line; std::getline(log, line);) opens += std::regex_search(line, open_of_a) ? 1 : 0;
    return opens;
}

// What the runs of --verify=N/3 print together, and what a full run prints.
void groups_cover_the_full_run(const Sandbox& s, const ProgramRun& full) {
    std::vector<std::string> together;
    for (const char* group : {"--verify=1/3", "--verify=2/3", "--verify=3/3"}) {
        const ProgramRun run = run_tesrak({group, "tree"}, s.path());
        const std::vector<std::string> lines = lines_of(run.output);
        const bool damage = std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
            return line.starts_with("FAILED ") || line.starts_with("MISSING ");
        });
        EXPECT_EQ(run.exit_code, damage ? 1 : 0) << group << '\n' << run.printed();
        together.insert(together.end(), lines.begin(), lines.end());
    }
    const std::vector<std::string> all = sorted(lines_of(full.output));
    EXPECT_EQ(sorted(together), all);
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()) << "a line twice in the full run";
    // The full run itself: every problem, at every path.
    const std::vector<std::string> names = s.backups();
    ASSERT_EQ(names.size(), 3U);
    const std::string old = "backup/" + names[1], made = "backup/" + names[2];
    EXPECT_EQ(all, sorted({"FAILED " + old + "/f01", "FAILED " + old + "/f02", "FAILED " + made + "/f02",
                           "FAILED " + made + "/d/f08", "FAILED " + old + "/d/f10", "FAILED " + made + "/d/f10",
                           "MISSING " + made + "/f05", "UNRECORDED backup/" + names[0]}));
}

std::vector<Row> rows() {
    return {
        // One record for the run's stamp: a comment line with the size
        // before each checksum line, paths from the backup folder.
        {"records_of_an_intact_copy_and_snapshot", "echo one > f && mkdir -p tree/d && echo two > tree/d/b",
         {{"-copy", "f", "tree"}, {"--verify", "f", "tree"}}, 0, "", true,
         [](const Sandbox& s, const ProgramRun&) {
             const std::vector<std::string> names = s.backups();
             ASSERT_EQ(names.size(), 2U);
             const std::string digits = names[0].substr(2, 8) + names[0].substr(11, 8);
             ASSERT_EQ(s.backups("backup/.tesrak.sha256"), std::vector<std::string>{digits});
             // Each checksum line after its comment, in whatever order the
             // run wrote the backups.
             const std::vector<std::string> lines = lines_of(s.read("backup/.tesrak.sha256/" + digits));
             ASSERT_EQ(lines.size(), 4U);
             std::vector<std::string> pairs{lines[0] + '\n' + lines[1], lines[2] + '\n' + lines[3]};
             std::sort(pairs.begin(), pairs.end(), [](const std::string& a, const std::string& b) {
                 return a.substr(a.find('\n')) < b.substr(b.find('\n'));
             });
             const std::string record = pairs[0] + '\n' + pairs[1] + '\n';
             EXPECT_TRUE(matches("# size=4{T}\n27dd8ed44a83ff94d557f9fd0412ed5a8cbca69ea04922d88c01184a07300a5a  " +
                                     names[1] + "/d/b\n# size=4{T}\n"
                                     "2c8b08da5ce60398e1f19af0e5dccc744df274b826abe585eaba68c525434806  " +
                                     names[0] + "\n",
                                 record))
                 << record;
         }},
        {"a_flipped_byte_fails", "echo one > f", {{"-copy", "f"}, {"sh", "damage backup/f.*"}, {"--verify", "f"}}, 1,
         "FAILED backup/f.{D}.{D}\n", false},
        {"a_truncated_backup_fails", "echo one > f",
         {{"-copy", "f"}, {"sh", "truncate -s 2 backup/f.*"}, {"--verify", "f"}}, 1, "FAILED backup/f.{D}.{D}\n",
         false},
        // Its record stays: the backup is missing, the newer one intact.
        {"a_removed_backup_is_missing", "echo one > f",
         {{"-copy", "f"}, {"-copy", "f"}, {"sh", "rm \"$(ls backup/f.* | head -n 1)\""}, {"--verify", "f"}}, 1,
         "MISSING backup/f.{D}.{D}\n", false,
         [](const Sandbox& s, const ProgramRun& run) {
             EXPECT_EQ(run.output.find(s.backups().front()), std::string::npos) << "the intact backup reported";
         }},
        // Made by hand, or moved by a rename: nothing read them, so there is
        // nothing to check them against, and no failure.
        {"backups_without_a_record_are_unrecorded",
         "mkdir backup && echo old > backup/f.20200101.00000000 && echo one > f && echo two > g",
         {{"-copy", "g"}, {"f"}, {"--verify", "f", "g"}}, 0,
         "UNRECORDED backup/f.{D}.{D}\nUNRECORDED backup/f.20200101.00000000\n", true,
         [](const Sandbox& s, const ProgramRun&) {
             ASSERT_EQ(s.backups("backup/.tesrak.sha256").size(), 1U);
             EXPECT_EQ(s.read("backup/.tesrak.sha256/" + s.backups("backup/.tesrak.sha256")[0]).find(" f."),
                       std::string::npos);
         }},
        // --keep takes the removed backup's lines out of the records.
        {"keep_removes_the_records_lines", "echo one > f",
         {{"-copy", "f"}, {"-copy", "--keep=1", "f"}, {"--verify", "f"}}, 0, "", true,
         [](const Sandbox& s, const ProgramRun&) { EXPECT_EQ(s.backups("backup/.tesrak.sha256").size(), 1U); }},
        // Three snapshots share one file: damaged once, it fails at each of
        // its paths, and is read once.
        {"a_shared_file_fails_everywhere_read_once", "mkdir -p tree/d && echo one > tree/a && echo two > tree/d/b",
         {{"-copy", "tree"},
          {"-copy", "tree"},
          {"-copy", "tree"},
          {"sh", "damage \"$(ls -d backup/tree.* | sed -n 2p)/a\""},
          {"--verify", "tree"}},
         1, "FAILED backup/tree.{D}.{D}/a\nFAILED backup/tree.{D}.{D}/a\nFAILED backup/tree.{D}.{D}/a\n", false,
         [](const Sandbox& s, const ProgramRun&) {
             const std::vector<std::string> names = s.backups();
             ASSERT_EQ(names.size(), 3U);
             for (const std::string& name : names) {
                 EXPECT_EQ(inode_of(s.path() / "backup" / name / "a"), inode_of(s.path() / "backup" / names[0] / "a"))
                     << name << ": not shared";
             }
         },
         true},
        // The folders of many snapshots are listed ahead of the files read:
        // one gone from the middle snapshot leaves its file missing there alone.
        {"a_folder_gone_from_one_of_three",
         "mkdir -p tree/d tree/e && echo 1 > tree/a && echo 2 > tree/d/b && echo 3 > tree/e/c",
         {{"-copy", "tree"},
          {"-copy", "tree"},
          {"-copy", "tree"},
          {"sh", "rm -r \"$(ls -d backup/tree.* | sed -n 2p)/d\""},
          {"--verify", "tree"}},
         1, std::nullopt, false,
         [](const Sandbox& s, const ProgramRun& run) {
             ASSERT_EQ(s.backups().size(), 3U);
             EXPECT_EQ(run.output, "MISSING backup/" + s.backups()[1] + "/d/b\n");
         }},
        {"odd_names_pass_intact", odd_files, {{"-copy", odd, "t"}, {"--verify", odd, "t"}}, 0, "", true,
         [](const Sandbox& s, const ProgramRun&) { EXPECT_TRUE(s.exists(odd) && s.exists("t/" + odd)); }},
        {"odd_names_fail_damaged", odd_files,
         {{"-copy", odd, "t"}, {"sh", "damage backup/a* backup/t.*/a*"}, {"--verify", odd, "t"}}, 1,
         "FAILED backup/a\nb\\c\xff.{D}.{D}.txt\nFAILED backup/t.{D}.{D}/" + odd + "\n", false},
        {"unreadable_is_reported", "mkdir tree && echo one > tree/a",
         {{"-copy", "tree"}, {"sh", "b=$(ls -d backup/tree.*) && rm $b/a && mkdir $b/a"}, {"--verify", "tree"}}, 3,
         "UNREADABLE backup/tree.{D}.{D}/a: Not a regular file\nErrorLevel: 3\n", false},
        // Three runs of a third each report every problem exactly once.
        {"groups_report_each_problem_once", twelve,
         {{"-copy", "tree"},
          {"sh", "echo changed > tree/f01 && echo changed > tree/d/f08"},
          {"-copy", "tree"},
          {"sh", two_snapshots_damaged},
          {"--verify", "tree"}},
         1, std::nullopt, false, groups_cover_the_full_run},
        // Both damaged; only the one at the stamp is checked.
        {"at_checks_only_that_backup", "echo one > f",
         {{"-copy", "f"}, {"-copy", "f"}, {"sh", "damage backup/f.*"}, {"--verify", "--at={first}", "f"}}, 1,
         std::nullopt, false,
         [](const Sandbox& s, const ProgramRun& run) {
             EXPECT_EQ(run.output, "FAILED backup/" + s.backups().front() + "\n");
         }},
        {"a_file_without_backup", "echo one > f && echo two > g", {{"-copy", "f"}, {"--verify", "f", "g"}}, 2,
         "No backup of: g\nErrorLevel: 2\n", true},
        {"json_a_backup", "mkdir -p tree/d && echo 1 > tree/a && echo 2 > tree/d/b",
         {{"-copy", "tree"},
          {"sh", "damage backup/tree.*/a && rm backup/tree.*/d/b"},
          {"--verify", "--json", "tree"}},
         1, std::nullopt, false,
         [](const Sandbox& s, const ProgramRun& run) {
             s.write("verify.json", run.output);
             shell(s, "python3 -c '"
                      "import json\n"
                      "for line in open(\"verify.json\"):\n"
                      "    o = json.loads(line)\n"
                      "    b = o[\"backup\"]\n"
                      "    print(o.pop(\"stamp\") == \"\".join(c for c in b if c.isdigit()))\n"
                      "    print(sorted((k, json.loads(json.dumps(v).replace(b, \"B\"))) for k, v in o.items()))' "
                      "> json.out");
             EXPECT_EQ(s.read("json.out"),
                       "True\n[('backup', 'B'), ('checked', 1), ('failed', ['B/a']), ('missing', ['B/d/b']), "
                       "('recorded', True), ('unreadable', [])]\n");
         }},
    };
}

class Verify : public testing::TestWithParam<Row> {};

TEST_P(Verify, Row) {
    const Row& row = GetParam();
    const Sandbox sandbox;
    shell(sandbox, row.before);
    if (HasFatalFailure()) return;
    const bool strace = std::system("command -v strace >/dev/null 2>&1") == 0;
    ProgramRun result{};
    for (std::size_t i = 0; i < row.runs.size(); ++i) {
        std::vector<std::string> run = row.runs[i];
        if (run.front() == "sh") {
            shell(sandbox, run.back());
            continue;
        }
        for (std::string& argument : run) {
            if (const std::size_t at = argument.find("{first}"); at != std::string::npos) {
                argument.replace(at, 7, sandbox.backups("backup/.tesrak.sha256").front());
            }
        }
        if (row.traced && strace && i + 1 == row.runs.size()) {
            // LeakSanitizer, where the program has it, cannot run under strace.
            std::string sanitizer_options = "detect_leaks=0";
            if (const char* given = std::getenv("ASAN_OPTIONS")) sanitizer_options = given + (':' + sanitizer_options);
            result = run_tesrak_via({"strace", "-f", "-qq", "-e", "trace=open,openat", "-o", "opens.log", "-E",
                                     "ASAN_OPTIONS=" + sanitizer_options},
                                    run, sandbox.path());
        } else {
            result = run_tesrak(run, sandbox.path());
        }
    }
    EXPECT_EQ(result.exit_code, row.status) << result.printed();
    if (row.output) {
        EXPECT_TRUE(matches(*row.output, result.printed())) << result.printed();
    }
    // Stock sha256sum checks the same records without Tesrak.
    EXPECT_EQ(shell_status(sandbox, "cd backup && sha256sum -c --strict .tesrak.sha256/* >/dev/null 2>&1") == 0,
              row.sums_pass);
    if (row.check) row.check(sandbox, result);
    if (row.traced) {
        if (!strace) GTEST_SKIP() << "strace is not installed: how often the shared file was read is not counted";
        EXPECT_EQ(opens_of_a(sandbox), 1) << sandbox.read("opens.log");
    }
}

// Folders listed ahead come in the order given, a missing one with its
// error; a folder asked for out of that order, or after the last, is left to
// the caller to list.
TEST(FoldersAhead, ListsInTheOrderGivenAndLeavesTheRestToTheCaller) {
    const Sandbox sandbox;
    shell(sandbox, "mkdir -p a b/sub && touch a/x b/z b/y");
    const auto at = [&](const char* name) { return (sandbox.path() / name).string(); };
    const std::vector<std::string> order{at("a"), at("gone"), at("b")};
    std::size_t next = 0;
    platform::FoldersAhead ahead([&]() -> std::optional<std::string> {
        if (next == order.size()) return std::nullopt;
        return order[next++];
    });
    const auto a = ahead.take(at("a"));
    ASSERT_TRUE(a && !a->failed());
    EXPECT_EQ(a->value.regular_files.size(), 1U);
    const auto gone = ahead.take(at("gone"));
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->error, static_cast<ErrorCode>(ENOENT));
    EXPECT_FALSE(ahead.take(at("a"))) << "a folder out of order";
    const auto b = ahead.take(at("b"));
    ASSERT_TRUE(b && !b->failed());
    ASSERT_EQ(b->value.regular_files.size(), 2U);
    EXPECT_EQ(b->value.regular_files[0].first, "y") << "in name order";
    EXPECT_EQ(b->value.others, std::vector<std::string>{"sub"});
    EXPECT_FALSE(ahead.take(at("b"))) << "after the last";
}

INSTANTIATE_TEST_SUITE_P(Posix, Verify, testing::ValuesIn(rows()),
                         [](const testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

}  // namespace
