// The real executable, end to end: command line in, output bytes, exit code
// and files out.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/sandbox.h"
#include "support/spawn.h"

namespace {

namespace fs = std::filesystem;

const std::string content = "the file's content\n";

// A relative path written with "/" in the platform's own form.
std::string native(std::string path) {
    for (char& c : path) c = c == '/' ? platform::folder_separator : c;
    return path;
}

struct Row {
    const char* what;
    std::vector<std::string> made;  // before the run: files with the content, folders ending in "/"
    std::vector<std::string> arguments;
    int exit_code;
    std::string output;  // a pattern for matches()
    std::optional<std::vector<std::string>> backups;  // name patterns; none: no backup folder
    bool source_kept;
};

void check(const Row& row, const Sandbox& sandbox, const ProgramRun& result) {
    EXPECT_EQ(result.exit_code, row.exit_code);
    EXPECT_TRUE(matches(row.output, result.printed())) << "printed: [" << result.printed() << "]";
    if (!row.backups) {
        EXPECT_FALSE(sandbox.exists("backup"));
    } else {
        const std::vector<std::string> names = sandbox.backups();
        ASSERT_EQ(names.size(), row.backups->size());
        for (std::size_t i = 0; i < names.size(); ++i) {
            EXPECT_TRUE(matches((*row.backups)[i], names[i])) << names[i];
            if (fs::is_regular_file(sandbox.path() / "backup" / names[i])) {
                EXPECT_EQ(sandbox.read("backup/" + names[i]), content);
            }
        }
    }
    if (!row.made.empty()) {
        EXPECT_EQ(sandbox.exists(row.made.front()), row.source_kept);
    }
}

TEST(EndToEnd, WholeOutputOfAnEmptyCommandLine) {
    const Sandbox sandbox;
    const ProgramRun result = run_tesrak({}, sandbox.path());
    EXPECT_EQ(result.exit_code, 5);
#ifdef _WIN32
    EXPECT_EQ(result.output,
              "Invalid Command Format: no arguments found\r\n"
              "   Tesrak [infile] [-copy] [options]\r\n"
              "      [-copy] Default is to move file, -copy leaves original\r\n"
              "ErrorLevel: 5\r\n");
#else
    // Messages go to standard error, which keeps standard output for data.
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.errors,
              "Invalid Command Format: no arguments found\n"
              "Usage: tesrak [options] file...\n"
              "       tesrak --list [--null | --json] [--distinct] [--size] file...\n"
              "       tesrak --restore [--at=STAMP] [--output=DEST] [options] file...\n"
              "       tesrak --diff [--at=STAMP [--to=STAMP]] [--json] file...\n"
              "       tesrak --verify[=N/T] [--at=STAMP] [--json] file...\n"
              "ErrorLevel: 5\n");
#endif
    EXPECT_FALSE(sandbox.exists("backup"));
}

TEST(EndToEnd, EachRun) {
    const std::vector<std::string> none;
    const std::string long_name = std::string(240, 'n') + ".txt";
    const std::vector<Row> rows{
        {"default move", {"report.txt"}, {"report.txt"}, 0, "",
         std::vector<std::string>{"report.{D}.{D}.txt"}, false},
        {"copy", {"report.txt"}, {"report.txt", "-copy"}, 0, "",
         std::vector<std::string>{"report.{D}.{D}.txt"}, true},
        {"after the name", {"report.txt"}, {"report.txt", "-post"}, 0, "",
         std::vector<std::string>{"report.txt.{D}.{D}"}, false},
        {"date only", {"report.txt"}, {"report.txt", "-unique=date"}, 0, "",
         std::vector<std::string>{"report.{D}.txt"}, false},
        {"time only", {"report.txt"}, {"report.txt", "-UNIQUE:time"}, 0, "",
         std::vector<std::string>{"report.{D}.txt"}, false},
        {"underscore", {"report.txt"}, {"report.txt", "-sep=_"}, 0, "",
         std::vector<std::string>{"report_{D}_{D}.txt"}, false},
        {"comma, copy", {"report.txt"}, {"report.txt", "-separator=,", "-COPY"}, 0, "",
         std::vector<std::string>{"report,{D},{D}.txt"}, true},
        {"equals after the name", {"report.txt"}, {"report.txt", "-sep==", "-post_ext"}, 0, "",
         std::vector<std::string>{"report.txt={D}={D}"}, false},
        {"dash, date, back before the extension", {"report.txt"},
         {"report.txt", "-sep=-", "-unique=date", "-post", "-pre_ext"}, 0, "",
         std::vector<std::string>{"report-{D}.txt"}, false},
        {"no extension", {"noext"}, {"noext"}, 0, "", std::vector<std::string>{"noext.{D}.{D}"}, false},
        // On POSIX a leading dot marks a hidden file, not an extension.
        {"dot file", {".profile"}, {".profile", "-copy"}, 0, "",
         std::vector<std::string>{platform::posix_conventions ? ".profile.{D}.{D}" : ".{D}.{D}.profile"}, true},
        {"a folder", {"docs/"}, {"docs"}, 0, "", std::vector<std::string>{"docs.{D}.{D}"}, false},
#ifdef _WIN32
        {"a folder cannot be copied", {"docs/"}, {"docs", "-copy"}, 3,
         "Backup failed: backup{/}docs.{D}.{D}{R}{N}ErrorLevel: 3{N}", none, true},
#else
        {"a folder is copied as a snapshot", {"docs/"}, {"docs", "-copy"}, 0, "",
         std::vector<std::string>{"docs.{D}.{D}"}, true},
#endif
        {"missing source", {"other.txt"}, {"nofile.txt"}, 2,
         "File does not exist: nofile.txt{N}ErrorLevel: 2{N}", none, true},
        {"wildcard *", {"ab.txt"}, {"a*.txt"}, 2, "File does not exist: a*.txt{N}ErrorLevel: 2{N}",
         none, true},
        {"wildcard ?", {"ab.txt"}, {"a?.txt", "-copy"}, 2,
         "File does not exist: a?.txt{N}ErrorLevel: 2{N}", none, true},
        {"unknown switch", {"report.txt"}, {"report.txt", "-x", "-copy"}, 7,
         "Invalid option: -x{N}ErrorLevel: 7{N}", std::nullopt, true},
        {"bad unique value", {"report.txt"}, {"report.txt", "-unique=DATE"}, 8,
         "Invalid choice for the /unique option: DATE{N}ErrorLevel: 8{N}", std::nullopt, true},
        {"bad separator", {"report.txt"}, {"report.txt", "-sep=:"}, 9,
         "Invalid choice for the /separator option: :{N}ErrorLevel: 9{N}", std::nullopt, true},
#ifdef _WIN32
        // On POSIX the folder is made inside the backup folder.
        {"missing sub-folder under backup", {"sub/report.txt"}, {native("sub/report.txt")}, 3,
         "Backup failed: backup{/}sub{/}report.{D}.{D}.txt{R}{N}ErrorLevel: 3{N}", none, true},
#endif
        {"name too long for the system", {long_name}, {long_name, "-copy"}, 3,
         "Backup failed: backup{/}" + std::string(240, 'n') + ".{D}.{D}.txt{R}{N}ErrorLevel: 3{N}",
         none, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const Sandbox sandbox;
        for (const std::string& name : row.made) {
            if (name.ends_with('/')) {
                fs::create_directory(sandbox.path() / name);
            } else {
                sandbox.write(name, content);
            }
        }
        check(row, sandbox, run_tesrak(row.arguments, sandbox.path()));
    }
}

TEST(EndToEnd, ASourceOutsideTheFolderIsRefusedBeforeAnythingMoves) {
    const Sandbox sandbox;
    fs::create_directory(sandbox.path() / "work");
    sandbox.write("report.txt", content);
    const ProgramRun result = run_tesrak({native("../report.txt")}, sandbox.path() / "work");
    EXPECT_EQ(result.exit_code, 3);
    EXPECT_TRUE(matches("Backup failed: backup{/}..{/}report.{D}.{D}.txt{N}ErrorLevel: 3{N}",
                        result.printed()))
        << result.printed();
    EXPECT_EQ(sandbox.read("report.txt"), content);
    EXPECT_EQ(std::distance(fs::directory_iterator(sandbox.path()), fs::directory_iterator()), 2);
}

TEST(EndToEnd, AFileNamedBackupMakesTheBackupFail) {
    const Sandbox sandbox;
    sandbox.write("backup", "not a folder");
    sandbox.write("report.txt", content);
    const ProgramRun result = run_tesrak({"report.txt"}, sandbox.path());
    EXPECT_EQ(result.exit_code, 3);
    EXPECT_TRUE(matches("Backup failed: backup{/}report.{D}.{D}.txt{R}{N}ErrorLevel: 3{N}",
                        result.printed())) << result.printed();
    EXPECT_EQ(sandbox.read("report.txt"), content);
    EXPECT_EQ(sandbox.read("backup"), "not a folder");
}

TEST(EndToEnd, AMoveNeverReplacesAnEarlierBackup) {
    const Sandbox sandbox;
    sandbox.write("report.txt", "earlier");
    ASSERT_EQ(run_tesrak({"report.txt", "-copy", "-unique=date"}, sandbox.path()).exit_code, 0);
    sandbox.write("report.txt", "later");
    const ProgramRun result = run_tesrak({"report.txt", "-unique=date"}, sandbox.path());
    EXPECT_EQ(result.exit_code, 3);
    EXPECT_TRUE(matches("Backup failed: backup{/}report.{D}.txt{R}{N}ErrorLevel: 3{N}", result.printed()))
        << result.printed();
    EXPECT_EQ(sandbox.read("report.txt"), "later");
    const std::vector<std::string> names = sandbox.backups();
    ASSERT_EQ(names.size(), 1U);
    EXPECT_EQ(sandbox.read("backup/" + names[0]), "earlier");
}

TEST(EndToEnd, ACopyReplacesAnEarlierBackupOfTheSameName) {
    const Sandbox sandbox;
    sandbox.write("report.txt", "earlier");
    ASSERT_EQ(run_tesrak({"report.txt", "-copy", "-unique=date"}, sandbox.path()).exit_code, 0);
    sandbox.write("report.txt", "later");
    const ProgramRun result = run_tesrak({"report.txt", "-copy", "-unique=date"}, sandbox.path());
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.printed(), "");
    const std::vector<std::string> names = sandbox.backups();
    ASSERT_EQ(names.size(), 1U);
    EXPECT_EQ(sandbox.read("backup/" + names[0]), "later");
    EXPECT_EQ(sandbox.read("report.txt"), "later");
}

}  // namespace
