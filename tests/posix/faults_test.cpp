// POSIX only: the command text made of separate arguments, signals, and the
// file system failing under the backup.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/sandbox.h"
#include "support/spawn.h"

namespace {

namespace fs = std::filesystem;

const std::string content = "the file's content\n";

void write_large(const fs::path& path, std::size_t mebibytes) {
    std::string chunk(1 << 20, '\0');
    std::ofstream out(path, std::ios::binary);
    for (std::size_t i = 0; i < mebibytes; ++i) {
        for (std::size_t j = 0; j < chunk.size(); j += 64) chunk[j] = static_cast<char>(i + j / 64);
        out << chunk;
    }
}

bool same_bytes(const fs::path& a, const fs::path& b) {
    std::ifstream first(a, std::ios::binary);
    std::ifstream second(b, std::ios::binary);
    return fs::file_size(a) == fs::file_size(b) &&
           std::equal(std::istreambuf_iterator<char>(first), std::istreambuf_iterator<char>(),
                      std::istreambuf_iterator<char>(second));
}

// Starts a copy of a 256 MiB large.bin and returns once the backup folder is
// there, so that a signal sent next arrives while the copy runs.
pid_t start_large_copy(const Sandbox& sandbox) {
    write_large(sandbox.path() / "large.bin", 256);
    const pid_t pid = start_tesrak({"large.bin", "-copy"}, sandbox.path());
    for (int i = 0; i < 5000 && !fs::exists(sandbox.path() / "backup"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pid;
}

// Every file under the backup folder, as a path inside it, sorted.
std::vector<std::string> files_in_backup(const Sandbox& sandbox) {
    std::vector<std::string> names;
    std::error_code missing;
    for (const auto& entry : fs::recursive_directory_iterator(sandbox.path() / "backup", missing)) {
        const std::string name = fs::relative(entry.path(), sandbox.path() / "backup");
        // The records beside the backups are none.
        if (!entry.is_directory() && name.find(".tesrak.sha256/") == std::string::npos) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(PosixCommandLine, WholeArgumentsSeveralFilesAndFolders) {
    struct Row {
        const char* what;
        std::vector<std::string> made;  // files with the content, before the run
        std::vector<std::string> arguments;
        int exit_code;
        std::string output;  // a pattern for matches(); for --help, of the output's start
        std::optional<std::vector<std::string>> backups;  // path patterns; none: no backup folder
        std::vector<std::string> kept;  // of the files made, those still there after the run
    };
    const std::string usage = "Invalid Command Format: no arguments found\nUsage: tesrak [options] file...\n"
                              "       tesrak --list [--null | --json] [--distinct] [--size] file...\n"
                              "       tesrak --restore [--at=STAMP] [--output=DEST] [options] file...\n"
                              "       tesrak --diff [--at=STAMP [--to=STAMP]] [--json] file...\n"
                              "       tesrak --verify[=N/T] [--at=STAMP] [--json] file...\nErrorLevel: 5\n";
    const std::vector<std::string> none;
    const Sandbox absolute;  // a file named by its absolute path
    absolute.write("abs.txt", content);
    const std::string absolute_name = (absolute.path() / "abs.txt").string();
    const std::string absolute_backup = absolute.path().relative_path().string() + "/abs.{D}.{D}.txt";
    // Enough names of one folder that it is read once for them all.
    std::vector<std::string> twenty;
    for (int i = 10; i < 30; ++i) twenty.push_back("f" + std::to_string(i) + ".log");
    std::vector<std::string> nineteen = twenty;
    std::erase(nineteen, "f23.log");
    const std::vector<Row> rows{
        {"a name with a blank", {"My Notes.txt"}, {"My Notes.txt", "-copy"}, 0, "",
         std::vector<std::string>{"My Notes.{D}.{D}.txt"}, {"My Notes.txt"}},
        {"a name with a tab", {"a\tb.txt"}, {"a\tb.txt"}, 0, "", std::vector<std::string>{"a\tb.{D}.{D}.txt"}, {}},
        {"several files", {"a.conf", "b.conf", "c.conf"}, {"a.conf", "b.conf", "c.conf", "-copy"}, 0, "",
         std::vector<std::string>{"a.{D}.{D}.conf", "b.{D}.{D}.conf", "c.{D}.{D}.conf"}, {"a.conf", "b.conf", "c.conf"}},
        {"one of them missing", {"a.conf", "c.conf"}, {"a.conf", "b.conf", "c.conf"}, 2,
         "File does not exist: b.conf\nErrorLevel: 2\n", std::nullopt, {"a.conf", "c.conf"}},
        {"one of twenty missing", nineteen, twenty, 2, "File does not exist: f23.log\nErrorLevel: 2\n", std::nullopt,
         nineteen},
        {"a name given twice", {"a.txt"}, {"a.txt", "./a.txt", "a.txt"}, 0, "",
         std::vector<std::string>{"a.{D}.{D}.txt"}, {}},
        {"switches before, between and after files", {"a.txt", "b.txt"},
         {"-sep=_", "a.txt", "-unique=date", "b.txt", "-COPY"}, 0, "",
         std::vector<std::string>{"a_{D}.txt", "b_{D}.txt"}, {"a.txt", "b.txt"}},
        {"-- then a name that begins with -", {"-n.txt"}, {"-copy", "--", "-n.txt"}, 0, "",
         std::vector<std::string>{"-n.{D}.{D}.txt"}, {"-n.txt"}},
        {"a lone - is a file", {"-"}, {"-", "-copy"}, 0, "", std::vector<std::string>{"-.{D}.{D}"}, {"-"}},
        {"an absolute path", {}, {absolute_name, "-copy"}, 0, "", std::vector<std::string>{absolute_backup}, {}},
        {"a path with a folder part", {"conf/app.yml"}, {"./conf//app.yml", "-copy"}, 0, "",
         std::vector<std::string>{"conf/app.{D}.{D}.yml"}, {"conf/app.yml"}},
        {"a folder part with a dot", {"dir.d/file"}, {"dir.d/file"}, 0, "",
         std::vector<std::string>{"dir.d/file.{D}.{D}"}, {}},
        {"a .. part", {"sub/x.txt"}, {"sub/../sub/x.txt"}, 3,
         "Backup failed: backup/sub/../sub/x.{D}.{D}.txt\nErrorLevel: 3\n", std::nullopt, {"sub/x.txt"}},
        // A folder that holds the backup folder, however named, before anything is made.
        {"the current folder", {"sub/x.txt"}, {"-copy", "."}, 3,
         "Backup failed: backup/.{D}.{D}: The folder holds the backup folder\nErrorLevel: 3\n", std::nullopt,
         {"sub/x.txt"}},
        {"a folder above by ..", {"sub/x.txt"}, {"-copy", "sub/.."}, 3,
         "Backup failed: backup/sub/...{D}.{D}: The folder holds the backup folder\nErrorLevel: 3\n", std::nullopt,
         {"sub/x.txt"}},
        // Answers end their lines in a line feed alone, failures as on Windows.
        {"--help", {}, {"--help"}, 0, "Usage: tesrak [options] file...\n", std::nullopt, {}},
        {"--version", {}, {"--version"}, 0, "tesrak 1.0.1.5\n", std::nullopt, {}},
        {"--help among files", {"a.txt"}, {"a.txt", "--help"}, 7, "Invalid option: --help\nErrorLevel: 7\n",
         std::nullopt, {"a.txt"}},
        {"an unknown -- word", {"a.txt"}, {"a.txt", "--copy"}, 7, "Invalid option: --copy\nErrorLevel: 7\n",
         std::nullopt, {"a.txt"}},
        {"--quiet takes no value", {"a.txt"}, {"a.txt", "--quiet=yes"}, 7,
         "Invalid option: --quiet=yes\nErrorLevel: 7\n", std::nullopt, {"a.txt"}},
        {"--quiet with a file", {"a.txt"}, {"--quiet", "a.txt", "-copy"}, 0, "",
         std::vector<std::string>{"a.{D}.{D}.txt"}, {"a.txt"}},
        {"a refused switch after the files", {"a.txt"}, {"a.txt", "-x"}, 7, "Invalid option: -x\nErrorLevel: 7\n",
         std::nullopt, {"a.txt"}},
        {"an empty argument", {"a.txt"}, {"a.txt", "", "-copy"}, 2, "File does not exist: \nErrorLevel: 2\n",
         std::nullopt, {"a.txt"}},
        {"switches and no file", {}, {"-copy"}, 5, usage, std::nullopt, {}},
        {"no argument", {}, {}, 5, usage, std::nullopt, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const Sandbox sandbox;
        for (const std::string& name : row.made) sandbox.write(name, content);
        const ProgramRun result = run_tesrak(row.arguments, sandbox.path());
        EXPECT_EQ(result.exit_code, row.exit_code);
        const bool prefix = row.arguments == std::vector<std::string>{"--help"};
        EXPECT_TRUE(matches(row.output, prefix ? result.printed().substr(0, row.output.size()) : result.printed()))
            << result.printed();
        EXPECT_EQ(sandbox.exists("backup"), row.backups.has_value());
        const std::vector<std::string> names = files_in_backup(sandbox);
        ASSERT_EQ(names.size(), row.backups.value_or(none).size());
        for (std::size_t i = 0; i < names.size(); ++i) {
            EXPECT_TRUE(matches((*row.backups)[i], names[i])) << names[i];
            EXPECT_EQ(sandbox.read("backup/" + names[i]), content);
        }
        for (const std::string& name : row.made) {
            const bool kept = std::find(row.kept.begin(), row.kept.end(), name) != row.kept.end();
            EXPECT_EQ(sandbox.exists(name), kept) << name;
        }
    }
}

TEST(PosixOutput, AReaderThatHasGoneKeepsTheStatus) {
    const Sandbox sandbox;
    const int status = run_with_reader_gone({}, sandbox.path());
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 5);
}

TEST(PosixFiles, SymbolicLinks) {
    const Sandbox sandbox;
    fs::create_symlink("missing.txt", sandbox.path() / "dangling");
    sandbox.write("real.txt", content);
    fs::create_symlink("real.txt", sandbox.path() / "link");

    EXPECT_EQ(run_tesrak({"dangling", "-copy"}, sandbox.path()).exit_code, 3);
    EXPECT_EQ(run_tesrak({"link", "-copy"}, sandbox.path()).exit_code, 0);
    std::vector<std::string> names = sandbox.backups();
    ASSERT_EQ(names.size(), 1U);
    EXPECT_FALSE(fs::is_symlink(sandbox.path() / "backup" / names[0]));
    EXPECT_EQ(sandbox.read("backup/" + names[0]), content);
    fs::remove(sandbox.path() / "backup" / names[0]);

    EXPECT_EQ(run_tesrak({"dangling"}, sandbox.path()).exit_code, 0);
    names = sandbox.backups();
    ASSERT_EQ(names.size(), 1U);
    EXPECT_EQ(fs::read_symlink(sandbox.path() / "backup" / names[0]), "missing.txt");
    EXPECT_FALSE(sandbox.exists("dangling"));
}

TEST(PosixFiles, CopyKeepsPermissionsAndTimes) {
    const Sandbox sandbox;
    sandbox.write("report.txt", content);
    const fs::path source = sandbox.path() / "report.txt";
    fs::permissions(source, fs::perms::owner_read | fs::perms::group_read);
    const auto modified = fs::file_time_type::clock::now() - std::chrono::hours(50);
    fs::last_write_time(source, modified);
    ASSERT_EQ(run_tesrak({"report.txt", "-copy"}, sandbox.path()).exit_code, 0);
    const fs::path backup = sandbox.path() / "backup" / sandbox.backups().at(0);
    EXPECT_EQ(fs::status(backup).permissions(), fs::perms::owner_read | fs::perms::group_read);
    EXPECT_EQ(fs::last_write_time(backup), modified);
}

TEST(PosixFiles, BackupFolderOnAnotherFileSystem) {
    const Sandbox other_disk;
    const fs::path elsewhere = "/dev/shm";
    struct stat here {};
    struct stat there {};
    if (stat(other_disk.path().c_str(), &here) != 0 || stat(elsewhere.c_str(), &there) != 0 ||
        here.st_dev == there.st_dev) {
        GTEST_SKIP() << "no second file system at " << elsewhere;
    }
    const fs::path folder = elsewhere / ("tesrak-test-" + std::to_string(getpid()));
    fs::create_directory(folder);
    const Sandbox sandbox;
    fs::create_directory_symlink(folder, sandbox.path() / "backup");
    sandbox.write("moved.txt", content);
    sandbox.write("copied.txt", content);
    fs::create_symlink("moved.txt", sandbox.path() / "link");

    EXPECT_EQ(run_tesrak({"moved.txt"}, sandbox.path()).exit_code, 0);
    EXPECT_EQ(run_tesrak({"copied.txt", "-copy"}, sandbox.path()).exit_code, 0);
    EXPECT_EQ(run_tesrak({"link"}, sandbox.path()).exit_code, 0);
    EXPECT_FALSE(sandbox.exists("moved.txt"));
    EXPECT_FALSE(sandbox.exists("link"));
    EXPECT_TRUE(sandbox.exists("copied.txt"));
    std::vector<std::string> names = sandbox.backups();
    fs::remove_all(folder);
    ASSERT_EQ(names.size(), 3U);
    EXPECT_TRUE(matches("copied.{D}.{D}.txt", names[0])) << names[0];
    EXPECT_TRUE(matches("link.{D}.{D}", names[1])) << names[1];
    EXPECT_TRUE(matches("moved.{D}.{D}.txt", names[2])) << names[2];
}

TEST(PosixFiles, ReadOnlyBackupFolder) {
    const Sandbox sandbox;
    fs::permissions(sandbox.path(), fs::perms::all);
    fs::create_directory(sandbox.path() / "backup");
    fs::permissions(sandbox.path() / "backup", fs::perms::owner_read | fs::perms::owner_exec |
                                                   fs::perms::others_read | fs::perms::others_exec);
    sandbox.write("report.txt", content);
    fs::permissions(sandbox.path() / "report.txt", fs::perms::all);
    // As root a read-only folder is no obstacle, so the program runs as nobody.
    const std::vector<std::string> launcher =
        geteuid() == 0 ? std::vector<std::string>{"setpriv", "--reuid=65534", "--regid=65534",
                                                  "--clear-groups"}
                       : std::vector<std::string>{};
    for (const std::string switches : {"-copy", "-post"}) {
        const ProgramRun result = run_tesrak_via(launcher, {"report.txt", switches}, sandbox.path());
        EXPECT_EQ(result.exit_code, 3) << switches << ": " << result.printed();
        EXPECT_TRUE(result.printed().starts_with("Backup failed: backup/report.")) << result.printed();
    }
    EXPECT_EQ(sandbox.read("report.txt"), content);
    EXPECT_TRUE(sandbox.backups().empty());
}

TEST(PosixSignals, InterruptDuringALargeCopyIsIgnored) {
    const Sandbox sandbox;
    const pid_t pid = start_large_copy(sandbox);
    kill(pid, SIGINT);
    const int status = wait_for(pid);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::vector<std::string> names = sandbox.backups();
    ASSERT_EQ(names.size(), 1U);
    EXPECT_TRUE(same_bytes(sandbox.path() / "large.bin", sandbox.path() / "backup" / names[0]));
}

TEST(PosixSignals, KilledDuringALargeCopyLeavesNoPartialBackup) {
    const Sandbox sandbox;
    const pid_t pid = start_large_copy(sandbox);
    kill(pid, SIGKILL);
    wait_for(pid);
    // Either the copy had already finished, whole, or nothing is there.
    for (const std::string& name : sandbox.backups()) {
        EXPECT_TRUE(same_bytes(sandbox.path() / "large.bin", sandbox.path() / "backup" / name)) << name;
    }
}

TEST(PosixConcurrency, ManyCopiesToOneTargetLeaveOneWholeBackup) {
    const Sandbox sandbox;
    write_large(sandbox.path() / "report.bin", 8);
    std::vector<pid_t> runs;
    for (int i = 0; i < 8; ++i) runs.push_back(start_tesrak({"report.bin", "-copy", "-unique=date"}, sandbox.path()));
    for (const pid_t pid : runs) {
        const int status = wait_for(pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    const std::vector<std::string> names = sandbox.backups();
    ASSERT_EQ(names.size(), 1U);
    EXPECT_TRUE(same_bytes(sandbox.path() / "report.bin", sandbox.path() / "backup" / names[0]));
}

TEST(PosixConcurrency, ManyMovesOfOneFileLoseNothing) {
    const Sandbox sandbox;
    sandbox.write("report.txt", content);
    std::vector<pid_t> runs;
    for (int i = 0; i < 8; ++i) runs.push_back(start_tesrak({"report.txt", "-unique=date"}, sandbox.path()));
    int succeeded = 0;
    for (const pid_t pid : runs) {
        const int status = wait_for(pid);
        ASSERT_TRUE(WIFEXITED(status));
        const int code = WEXITSTATUS(status);
        EXPECT_TRUE(code == 0 || code == 2 || code == 3) << code;
        succeeded += code == 0 ? 1 : 0;
    }
    EXPECT_EQ(succeeded, 1);
    const std::vector<std::string> names = sandbox.backups();
    ASSERT_EQ(names.size(), 1U);
    EXPECT_EQ(sandbox.read("backup/" + names[0]), content);
    EXPECT_FALSE(sandbox.exists("report.txt"));
}

// In a private mount namespace, a small tmpfs takes the place of the backup
// folder; the child reports what it found through its exit code.
int full_backup_disk_child(const fs::path& folder) {
    if (mount("tesrak-test", (folder / "backup").c_str(), "tmpfs", 0, "size=256k") != 0) return 77;
    std::ofstream(folder / "report.txt", std::ios::binary) << "earlier";
    if (run_tesrak({"report.txt", "-copy", "-unique=date"}, folder).exit_code != 0) return 10;
    std::vector<fs::path> before = backups_in(folder / "backup");
    if (before.size() != 1) return 11;
    write_large(folder / "report.txt", 1);
    const ProgramRun result = run_tesrak({"report.txt", "-copy", "-unique=date"}, folder);
    if (result.exit_code != 3 || !result.printed().starts_with("Backup failed: backup/report.")) return 12;
    std::vector<fs::path> after = backups_in(folder / "backup");
    if (after != before) return 13;
    std::ifstream earlier(before[0], std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(earlier)), std::istreambuf_iterator<char>());
    if (text != "earlier") return 14;
    if (fs::file_size(folder / "report.txt") != (1 << 20)) return 15;
    // A move to the full disk is a copy there, which fails just the same.
    if (run_tesrak({"report.txt"}, folder).exit_code != 3) return 16;
    if (fs::file_size(folder / "report.txt") != (1 << 20)) return 17;
    std::vector<fs::path> last = backups_in(folder / "backup");
    return last == before ? 0 : 18;
}

TEST(PosixFiles, FullBackupDiskLosesNothing) {
    const Sandbox sandbox;
    fs::create_directory(sandbox.path() / "backup");
    const int code = in_private_mount_namespace([&] { return full_backup_disk_child(sandbox.path()); });
    if (code == 77) GTEST_SKIP() << "mounting in a private namespace is not permitted here";
    EXPECT_EQ(code, 0) << "step that failed: " << code;
}

}  // namespace

namespace {

// Failures of one system call, at the occurrence that touches a path, as
// strace counts them; each row's run must report its failure with the
// reason the call gave, naming what really failed.
struct InjectedRow {
    const char* what;
    std::string before;  // shell commands in the sandbox
    std::vector<std::string> arguments;
    std::string call;
    std::string path_part;  // in the call's traced line (strace -y shows paths)
    std::string fault;      // strace's inject= action
    int exit_code;
    std::string output;  // a pattern for matches()
};

// The number of the last call of that name whose line holds the part.
int last_occurrence(const InjectedRow& row) {
    const Sandbox sandbox;
    if (std::system(("cd '" + sandbox.path().string() + "' && " + row.before).c_str()) != 0) return -1;
    const fs::path log = sandbox.path() / "trace";
    run_tesrak_via({"strace", "-f", "-qq", "-y", "-o", log.string(), "-e", "trace=" + row.call}, row.arguments,
                   sandbox.path());
    std::ifstream in(log);
    int count = 0;
    int found = -1;
    for (std::string line; std::getline(in, line);) {
        if (line.find(row.call + "(") == std::string::npos) continue;
        ++count;
        if (line.find(row.path_part) != std::string::npos) found = count;
    }
    return found;
}

TEST(PosixFaults, FailuresNameWhatFailedAndWhy) {
    if (std::system("command -v strace >/dev/null") != 0) GTEST_SKIP() << "strace is not installed";
    const std::vector<InjectedRow> rows{
        // Every backup went; only the flush of their folder failed.
        {"--keep whose last flush fails",
         "echo x > f.txt && mkdir backup && for d in 01 02 03; do echo $d > backup/f.202612$d.10000000.txt; done",
         {"f.txt", "-copy", "--keep=1"}, "fsync", "backup>", "error=EIO", 3,
         "Removal failed: backup: Input/output error\nErrorLevel: 3\n"},
        {"a short write of a snapshot's excludes", "mkdir -p tree && echo 1 > tree/a && echo 2 > tree/b.o",
         {"-copy", "tree", "--exclude=*.o"}, "write", ".tesrak.excludes/", "retval=0", 3,
         "Backup failed: backup/tree.{D}.{D}: No space left on device\nErrorLevel: 3\n"},
        {"a short write of a record", "echo x > f.txt", {"f.txt", "-copy"}, "write", ".tesrak.sha256/", "retval=0",
         3, "Backup failed: backup/f.{D}.{D}.txt: No space left on device\nErrorLevel: 3\n"},
        // The move to another file system is made; the look for what a writer
        // added after the source went fails.
        {"a move whose later writes cannot be taken",
         "echo x > report.txt && ln -s \"$(mktemp -d /dev/shm/tesrak-faults.XXXXXX)\" backup", {"report.txt"},
         "newfstatat", "report.txt>(deleted)", "error=EIO", 3,
         "Backup failed: backup/report.{D}.{D}.txt: writes made to report.txt while it was moved were not kept: "
         "Input/output error\nErrorLevel: 3\n"},
    };
    for (const InjectedRow& row : rows) {
        SCOPED_TRACE(row.what);
        const int when = last_occurrence(row);
        ASSERT_GT(when, 0);
        const Sandbox sandbox;
        ASSERT_EQ(std::system(("cd '" + sandbox.path().string() + "' && " + row.before).c_str()), 0);
        const ProgramRun result = run_tesrak_via(
            {"strace", "-f", "-qq", "-o", "/dev/null", "-e",
             "inject=" + row.call + ":" + row.fault + ":when=" + std::to_string(when)},
            row.arguments, sandbox.path());
        EXPECT_EQ(result.exit_code, row.exit_code);
        EXPECT_TRUE(matches(row.output, result.printed())) << result.printed();
    }
    ASSERT_EQ(std::system("rm -rf /dev/shm/tesrak-faults.*"), 0);
}

}  // namespace
