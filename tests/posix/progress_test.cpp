// POSIX only: the progress line that a long run shows where standard error is
// a terminal, its text, and the bytes a script sees where it is not.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "platform/posix/internal.h"
#include "support/sandbox.h"
#include "support/spawn.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t mebibyte = std::uint64_t{1} << 20;
constexpr std::uint64_t gibibyte = mebibyte << 10;

TEST(ProgressText, CountsTotalsAndRate) {
    struct Row {
        posix::ProgressCounts counts;
        std::int64_t milliseconds;
        const char* text;
    };
    const std::vector<Row> rows{
        {{0, 32 * mebibyte, 1, 32 * mebibyte}, 1250, "0/1 entry, 32.0 MiB of 32.0 MiB, 25.6 MiB/s"},
        {{3, 1022, 10, std::nullopt}, 2000, "3/10 entries, 1022 B, 511 B/s"},
        {{1234, 1536, std::nullopt, std::nullopt}, 1000, "1234 entries, 1.5 KiB, 1.5 KiB/s"},
        {{1, mebibyte - 1, std::nullopt, std::nullopt}, 4000, "1 entry, 1.0 MiB, 256.0 KiB/s"},
        {{7, 5 * gibibyte, 9, 8 * gibibyte}, 10'000, "7/9 entries, 5.0 GiB of 8.0 GiB, 512.0 MiB/s"},
    };
    for (const Row& row : rows) EXPECT_EQ(posix::progress_text(row.counts, row.milliseconds), row.text);
}

bool on_path(const std::string& program) {
    return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

// Every copy_file_range call waits 0.6 s: a copy of 32 MiB, two 16 MiB steps
// and the call that finds the end, then lasts more than a second however
// fast the machine is, and the clock is looked at after the second step.
const std::string slow_copies = "inject=copy_file_range:delay_enter=600000";

const std::string erase = "\r\x1b\\[K";
const std::string amount = "[0-9]+(\\.[0-9])? (B|KiB|MiB|GiB)";
const std::string file_line = erase + "0/1 entry, " + amount + " of 32\\.0 MiB, " + amount + "/s";
const std::string tree_line = erase + "[0-9]+ entr(y|ies), " + amount + ", " + amount + "/s";
const std::string failure = "Backup failed: backup/tree\\.[0-9]{8}\\.[0-9]{8}: Input/output error";

struct Row {
    const char* name;
    std::vector<std::string> arguments;
    std::vector<std::string> faults;  // injected by strace besides the slow copies
    bool terminal;                    // standard error a terminal (through script), else a pipe
    int exit_code;
    std::string printed;  // a regular expression for all that was written
    bool background = false;  // a job of its own on that terminal, not in the foreground
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

const std::vector<Row> rows{
    {"file_on_a_terminal", {"big", "-copy"}, {}, true, 0, "(" + file_line + ")+" + erase},
    {"file_quiet", {"big", "-copy", "--quiet"}, {}, true, 0, ""},
    {"file_through_a_pipe", {"big", "-copy"}, {}, false, 0, ""},
    // The shell's own word on the job may follow, but no line at all.
    {"file_in_the_background", {"big", "-copy"}, {}, true, 0, "[^\x1b]*", true},
    {"folder_on_a_terminal", {"-copy", "tree"}, {}, true, 0, "(" + tree_line + ")+" + erase},
    // A failure's message starts on a clean line (the terminal ends its lines
    // with a carriage return too).
    {"failure_on_a_terminal", {"-copy", "tree"}, {"inject=syncfs:error=EIO"}, true, 3,
     "(" + tree_line + ")+" + erase + failure + "\r\nErrorLevel: 3\r\n"},
    {"failure_through_a_pipe", {"-copy", "tree"}, {"inject=syncfs:error=EIO"}, false, 3,
     failure + "\nErrorLevel: 3\n"},
};

class Progress : public testing::TestWithParam<Row> {};

TEST_P(Progress, Row) {
    const Row& row = GetParam();
    if (!on_path("strace") || !on_path("script")) GTEST_SKIP() << "needs strace and script (util-linux)";
    const Sandbox sandbox;
    fs::create_directories(sandbox.path() / "tree/sub");
    {
        const std::string data(mebibyte, 'x');
        std::ofstream out(sandbox.path() / "big", std::ios::binary);
        for (int i = 0; i < 32; ++i) out << data;
    }
    fs::copy_file(sandbox.path() / "big", sandbox.path() / "tree/sub/big");
    fs::create_symlink("sub/big", sandbox.path() / "tree/link");
    // Where copies share blocks, no data is copied and nothing is slowed.
    const std::string folder = sandbox.path().string();
    if (std::system(("cp --reflink=always '" + folder + "/big' '" + folder + "/clone' 2>/dev/null").c_str()) == 0) {
        GTEST_SKIP() << "the temporary folder's file system shares blocks";
    }
    // LeakSanitizer, where the program has it, cannot run under strace.
    std::string sanitizer_options = "detect_leaks=0";
    if (const char* given = std::getenv("ASAN_OPTIONS")) sanitizer_options = given + (':' + sanitizer_options);
    std::vector<std::string> launcher{"strace", "-f", "-qq", "-o", "/dev/null", "-E",
                                      "ASAN_OPTIONS=" + sanitizer_options, "-e", slow_copies};
    for (const std::string& fault : row.faults) launcher.insert(launcher.end(), {"-e", fault});
    if (row.terminal) {
        // script runs one command text on a new terminal and passes on what
        // was written there; these words hold no blanks.
        const std::string command = row.background ? "set -m; $* & wait \\$!" : "$*";
        launcher.insert(launcher.begin(),
                        {"sh", "-c", "exec script -qec \"" + command + "\" /dev/null </dev/null", "sh"});
    }
    const ProgramRun result = run_tesrak_via(launcher, row.arguments, sandbox.path());
    EXPECT_EQ(result.exit_code, row.exit_code) << result.printed();
    EXPECT_TRUE(std::regex_match(result.printed(), std::regex(row.printed))) << testing::PrintToString(result.printed());
    EXPECT_EQ(sandbox.backups().size(), row.exit_code == 0 ? 1U : 0U);
}

INSTANTIATE_TEST_SUITE_P(Posix, Progress, testing::ValuesIn(rows),
                         [](const testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

}  // namespace
