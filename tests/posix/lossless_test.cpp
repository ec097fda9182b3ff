// POSIX only: nothing is lost or left behind whatever fails, each system call
// in turn included, and sources that are not regular files are refused.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "support/sandbox.h"
#include "support/spawn.h"

namespace {

namespace fs = std::filesystem;

#ifndef __has_feature
#define __has_feature(feature) 0
#endif
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
// The sanitizer maps memory and makes system calls of its own.
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

const std::string earlier = "the earlier backup\n";
const std::string current = "the file as it is now, longer than before\n";

bool on_path(const std::string& program) {
    return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

struct Case {
    const char* what;
    std::string source;  // report.txt, or with a folder part
    bool copy;
    bool earlier_backup;     // a backup of the same name is there before the run
    bool other_file_system;  // "backup" is a link to a folder on /dev/shm
    int companions = 0;      // further files backed up in the same run, before it
    enum Work { back_up, restore, keep, snapshot } work = back_up;  // a snapshot's source is a folder
};

// For the keep case: older backups of report.txt, oldest first, of which
// --keep=2 leaves the newest beside the run's own.
const std::vector<std::string> older_backups{"report.20000101.00000000.txt", "report.20000102.00000000.txt",
                                             "report.20000103.00000000.txt"};

// The files a case backs up, in the order given.
std::vector<std::string> sources_of(const Case& c) {
    std::vector<std::string> sources;
    for (int i = 1; i <= c.companions; ++i) sources.push_back("more" + std::to_string(i) + ".txt");
    sources.push_back(c.source);
    return sources;
}

// The folder inside the sandbox that the case's backup goes into.
std::string backup_folder(const Case& c) {
    const std::size_t slash = c.source.rfind('/');
    return slash == std::string::npos ? "backup" : "backup/" + c.source.substr(0, slash);
}

// Writes a source: a file, or for a snapshot a small tree of a file, a folder
// with a file, a link and a hard link, both files holding the content.
void write_source(const Sandbox& sandbox, const Case& c, const std::string& source, const std::string& content) {
    if (c.work != Case::snapshot) return sandbox.write(source, content);
    sandbox.write(source + "/a.txt", content);
    sandbox.write(source + "/sub/b.txt", content);
    if (sandbox.exists(source + "/link")) return;
    fs::create_symlink("sub/b.txt", sandbox.path() / source / "link");
    fs::create_hard_link(sandbox.path() / source / "a.txt", sandbox.path() / source / "sub/hard");
}

// Lays out the sandbox for a case: the source as it is now and, where the
// case asks, an earlier backup under the name the run will use.
void prepare(const Sandbox& sandbox, const Case& c, const fs::path& elsewhere) {
    if (c.other_file_system) {
        fs::create_directory(elsewhere);
        fs::create_directory_symlink(elsewhere, sandbox.path() / "backup");
    }
    if (c.earlier_backup) {
        write_source(sandbox, c, c.source, earlier);
        ASSERT_EQ(run_tesrak({c.source, "-copy", "-unique=date"}, sandbox.path()).exit_code, 0);
    }
    for (const std::string& source : sources_of(c)) write_source(sandbox, c, source, current);
    if (c.work == Case::keep) {
        for (const std::string& name : older_backups) sandbox.write("backup/" + name, earlier);
    }
}

std::vector<std::string> arguments_of(const Case& c) {
    if (c.work == Case::restore) return {"--restore", c.source};
    if (c.work == Case::keep) return {c.source, "-copy", "-unique=date", "--keep=2"};
    std::vector<std::string> arguments = sources_of(c);
    arguments.emplace_back("-unique=date");
    if (c.copy) arguments.emplace_back("-copy");
    return arguments;
}

// The system calls of a plain traced run after start-up (the last signal
// disposition set), each with the number of its occurrence.
std::vector<std::pair<std::string, int>> calls_after_start_up(const Case& c, const fs::path& elsewhere) {
    const Sandbox sandbox;
    prepare(sandbox, c, elsewhere);
    const fs::path log = sandbox.path() / "trace";
    run_tesrak_via({"strace", "-f", "-qq", "-o", log.string()}, arguments_of(c), sandbox.path());
    // strace counts a call's occurrences from the process's start.
    std::map<std::string, int> seen;
    std::vector<std::pair<std::string, int>> calls;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
        const std::size_t start = line.find_first_not_of("0123456789 ");
        const std::size_t open = line.find('(', start);
        if (start == std::string::npos || open == std::string::npos) continue;
        const std::string name = line.substr(start, open - start);
        if (name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") != std::string::npos) continue;
        const int occurrence = ++seen[name];
        if (name == "rt_sigaction") calls.clear();
        if (name != "rt_sigaction" && name != "exit_group") calls.emplace_back(name, occurrence);
    }
    fs::remove_all(elsewhere);
    return calls;
}

std::string error_for(const std::string& call) {
    for (const char* writing : {"write", "pwrite64", "copy_file_range", "fsync", "fdatasync", "ftruncate",
                                "fallocate", "ioctl", "fsetxattr", "fchown", "fchmod"}) {
        if (call == writing) return "ENOSPC";
    }
    return "EIO";
}

// What may hold after a run in which one system call failed.
void check_outcome(const Case& c, const Sandbox& sandbox, const ProgramRun& result, const std::string& reason) {
    const std::string folder = backup_folder(c);
    const std::vector<std::string> names = sandbox.backups(folder);
    const bool source_kept = sandbox.exists(c.source);
    if (result.exit_code == 0) {
        EXPECT_EQ(result.printed(), "");
        ASSERT_EQ(names.size(), 1U);
        EXPECT_EQ(sandbox.read(folder + "/" + names[0]), current);
        EXPECT_EQ(source_kept, c.copy);
        return;
    }
    // A move to another file system that was made, and then could not look
    // for writes to the removed source: the file is whole in its backup.
    if (result.exit_code == 3 && result.printed().find(" while it was moved were not kept: ") != std::string::npos) {
        EXPECT_FALSE(c.copy || source_kept);
        ASSERT_EQ(names.size(), 1U);
        EXPECT_EQ(sandbox.read(folder + "/" + names[0]), current);
        return;
    }
    switch (result.exit_code) {
    case 2:
        EXPECT_TRUE(result.printed().starts_with("File does not exist: " + c.source)) << result.printed();
        break;
    case 3:
        // The message ends with the reason the failed call gave.
        EXPECT_TRUE(result.printed().starts_with("Backup failed: " + folder + "/report.") &&
                    result.printed().ends_with(": " + reason + "\nErrorLevel: 3\n"))
            << result.printed();
        break;
    case 255:
        EXPECT_EQ(result.printed(), "");
        break;
    default:
        ADD_FAILURE() << "status " << result.exit_code << ": " << result.printed();
    }
    EXPECT_EQ(sandbox.read(c.source), current);
    // A copy whose last flush alone failed leaves the whole new backup.
    const std::size_t most = c.earlier_backup || (c.copy && result.exit_code == 3) ? 1 : 0;
    ASSERT_LE(names.size(), most) << "left in the folder: " << names.front();
    if (names.empty()) return;
    const std::string content = sandbox.read(folder + "/" + names[0]);
    EXPECT_TRUE(content == earlier || (c.copy && content == current && result.exit_code == 3)) << content;
    if (!c.earlier_backup) {
        EXPECT_EQ(content, current);
    }
}

// What may hold after a run of several files in which one system call
// failed: each file whole in one place or the other (for a copy, still in
// its own), every backup whole, nothing else left in the folder.
void check_batch_outcome(const Case& c, const Sandbox& sandbox, const ProgramRun& result) {
    const std::vector<std::string> names = sandbox.backups();
    const std::vector<std::string> sources = sources_of(c);
    const bool reported = (result.exit_code == 0 && result.printed().empty()) ||
                          (result.exit_code == 2 && result.printed().starts_with("File does not exist: ")) ||
                          (result.exit_code == 3 && result.printed().starts_with("Backup failed: backup/")) ||
                          (result.exit_code == 255 && result.printed().empty());
    EXPECT_TRUE(reported) << "status " << result.exit_code << ": " << result.printed();
    if (result.exit_code == 0) {
        EXPECT_EQ(names.size(), sources.size());
    }
    for (const std::string& name : names) EXPECT_EQ(sandbox.read("backup/" + name), current) << name;
    for (const std::string& source : sources) {
        const std::string stem = source.substr(0, source.rfind('.')) + ".";
        const bool backed_up = std::any_of(names.begin(), names.end(),
                                           [&](const std::string& name) { return name.starts_with(stem); });
        const bool kept = sandbox.exists(source) && sandbox.read(source) == current;
        EXPECT_TRUE(c.copy ? kept : kept != backed_up) << source;
    }
}

// After a restore or a keep in which one system call failed: the file holds
// its old content or the restored one, whole; every backup is whole; the
// backup restored from is there; and an older backup is gone only where the
// run's new backup stands, the oldest going first.
void check_history_outcome(const Case& c, const Sandbox& sandbox, const ProgramRun& result) {
    const std::string now = sandbox.read(c.source);
    const std::vector<std::string> names = sandbox.backups();
    const bool reported = (result.exit_code == 0 && result.printed().empty()) ||
                          (result.exit_code == 2 && (result.printed().starts_with("No backup of: report.txt\n") ||
                                                     result.printed().starts_with("File does not exist: report.txt"))) ||
                          (result.exit_code == 3 && (result.printed().starts_with("Backup failed: backup/report.") ||
                                                     result.printed().starts_with("Restore failed: report.txt") ||
                                                     result.printed().starts_with("Removal failed: backup"))) ||
                          (result.exit_code == 255 && result.printed().empty());
    EXPECT_TRUE(reported) << "status " << result.exit_code << ": " << result.printed();
    // Where only the last flush of a restore failed, the file was already
    // put back (its content before stands in the backup made first).
    const bool restored = c.work == Case::restore && (result.exit_code == 0 || (result.exit_code == 3 && now == earlier));
    EXPECT_EQ(now, restored ? earlier : current);
    // The backup restored from was made with -unique=date; the older ones of
    // the keep case are named in older_backups.
    const auto is_old = [&](const std::string& name) {
        return c.work == Case::restore ? matches("report.{D}.txt", name)
                                       : std::count(older_backups.begin(), older_backups.end(), name) > 0;
    };
    const auto new_backups = std::count_if(names.begin(), names.end(), [&](const std::string& name) {
        EXPECT_EQ(sandbox.read("backup/" + name), is_old(name) ? earlier : current) << name;
        return !is_old(name);
    });
    EXPECT_LE(new_backups, 1);
    if (restored) {
        EXPECT_EQ(new_backups, 1) << "the file as it was, backed up first";
    }
    if (c.work == Case::restore) {
        EXPECT_EQ(std::count_if(names.begin(), names.end(), is_old), 1) << "the backup restored from";
        return;
    }
    bool newer_kept = false;
    for (const std::string& name : older_backups) {
        const bool kept = std::count(names.begin(), names.end(), name) > 0;
        if (!kept) {
            EXPECT_EQ(new_backups, 1) << name << " removed without a new backup";
        }
        EXPECT_TRUE(kept || !newer_kept) << name << " removed after an older one was kept";
        newer_kept = newer_kept || kept;
    }
    EXPECT_TRUE(newer_kept) << "the newest older backup is kept";
}

// A tree, a line per entry below its top in name order: kind, permissions,
// and a file's number of names and content or a link's destination.
std::string tree_of(const fs::path& top) {
    std::map<std::string, std::string> lines;
    std::error_code missing;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(top, missing)) {
        const fs::file_status status = entry.symlink_status();
        std::string& line = lines[fs::relative(entry.path(), top).string()];
        line = std::to_string(int(status.type())) + ' ' + std::to_string(int(status.permissions()));
        if (fs::is_symlink(status)) line += " -> " + fs::read_symlink(entry.path()).string();
        if (!fs::is_regular_file(status)) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        line += ' ' + std::to_string(entry.hard_link_count()) + ' ' + std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string text;
    for (const auto& [name, line] : lines) text += name + ' ' + line + '\n';
    return text;
}

// The source tree of a snapshot case as written with this content.
std::string tree_written(const Case& c, const std::string& content) {
    const Sandbox reference;
    write_source(reference, c, c.source, content);
    return tree_of(reference.path() / c.source);
}

// After a snapshot in which one system call failed: the source as it was, no
// temporary tree left, and under the backup name the new snapshot whole or,
// on a failure, nothing or the earlier snapshot whole.
void check_snapshot_outcome(const Case& c, const Sandbox& sandbox, const ProgramRun& result) {
    const std::string now = tree_written(c, current);
    EXPECT_EQ(tree_of(sandbox.path() / c.source), now);
    std::error_code missing;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(sandbox.path() / "backup", missing)) {
        EXPECT_FALSE(entry.path().filename().string().starts_with(".tesrak-")) << "left: " << fs::relative(entry.path(), sandbox.path());
    }
    std::vector<std::string> names = sandbox.backups();
    std::erase_if(names, [](const std::string& name) { return name.starts_with(".tesrak-"); });
    ASSERT_LE(names.size(), 1U) << names.back();
    const std::string left = names.empty() ? "" : tree_of(sandbox.path() / "backup" / names[0]);
    if (!names.empty()) {
        EXPECT_TRUE(matches(c.source + ".{D}", names[0])) << names[0];
    }
    if (result.exit_code == 0) {
        EXPECT_EQ(result.printed(), "");
        ASSERT_EQ(names.size(), 1U);
        EXPECT_EQ(left, now);
        return;
    }
    const bool reported =
        (result.exit_code == 2 && result.printed().starts_with("File does not exist: " + c.source)) ||
        (result.exit_code == 3 && result.printed().starts_with("Backup failed: backup/" + c.source + "."));
    EXPECT_TRUE(reported) << "status " << result.exit_code << ": " << result.printed();
    if (names.empty()) {
        EXPECT_FALSE(c.earlier_backup) << "the earlier snapshot is gone";
        return;
    }
    // As for a file, a snapshot whose last flush alone failed stands whole.
    EXPECT_TRUE(left == now || (c.earlier_backup && left == tree_written(c, earlier))) << left;
}

// Each case on its own, so that each has the whole time a test may take.
std::vector<Case> injected_cases() {
    return {
        {"copy to a new name", "report.txt", true, false, false},
        {"copy over an earlier backup", "report.txt", true, true, false},
        {"move", "report.txt", false, false, false},
        {"move to another file system", "report.txt", false, false, true},
        {"copy into a folder made inside backup/", "sub/report.txt", true, false, false},
        // Enough files for their flushes to run on several threads.
        {"copy of several files", "report.txt", true, false, false, 12},
        {"move of several files", "report.txt", false, false, false, 12},
        {"restore over a changed file", "report.txt", true, true, false, 0, Case::restore},
        {"copy keeping the newest two", "report.txt", true, false, false, 0, Case::keep},
        {"snapshot of a small tree", "tree", true, false, false, 0, Case::snapshot},
        {"snapshot over an earlier one", "tree", true, true, false, 0, Case::snapshot},
    };
}

class InjectedFailures : public testing::TestWithParam<Case> {};

void PrintTo(const Case& c, std::ostream* out) { *out << c.what; }

TEST_P(InjectedFailures, EverySystemCallFailingInTurnLosesNothing) {
    if (sanitized) GTEST_SKIP() << "the sanitizer's own system calls would fail instead";
    if (!on_path("strace")) GTEST_SKIP() << "strace is not installed (the test command installs it)";
    const fs::path elsewhere = "/dev/shm/tesrak-test-" + std::to_string(getpid());
    {
        const Case& c = GetParam();
        std::vector<std::pair<std::string, int>> calls = calls_after_start_up(c, elsewhere);
        EXPECT_GT(calls.size(), 5U) << c.what;
        std::map<int, int> statuses;
        for (auto& [name, when] : calls) {
            // Waiting on a futex cannot fail but by a fault of the program; the
            // C library ends the process where it does.
            if (name == "futex") continue;
            // Nor can brk: the kernel refuses by returning the break unchanged, and
            // the C library would take an injected error for the new break.
            if (name == "brk") continue;
            // An error and how many calls from this one on it is given to.
            std::vector<std::pair<std::string, std::string>> faults{{error_for(name), ""}};
            if (name == "openat") faults.emplace_back("EOPNOTSUPP", "");
            // As where an unnamed file can be named neither by its descriptor nor through /proc.
            if (name == "linkat") faults.emplace_back("ENOENT", "+");
            for (const auto& [error, onwards] : faults) {
                const std::string inject =
                    "inject=" + name + ":error=" + error + ":when=" + std::to_string(when) + onwards;
                SCOPED_TRACE(std::string(c.what) + ": " + inject);
                const Sandbox sandbox;
                prepare(sandbox, c, elsewhere);
                const ProgramRun result = run_tesrak_via({"strace", "-f", "-qq", "-o", "/dev/null", "-e", inject},
                                                         arguments_of(c), sandbox.path());
                if (c.work == Case::snapshot) {
                    check_snapshot_outcome(c, sandbox, result);
                } else if (c.work != Case::back_up) {
                    check_history_outcome(c, sandbox, result);
                } else if (c.companions == 0) {
                    check_outcome(c, sandbox, result, error == "ENOSPC" ? "No space left on device"
                                                      : error == "EIO"  ? "Input/output error"
                                                      : error == "ENOENT" ? "No such file or directory"
                                                                           : "Operation not supported");
                } else {
                    check_batch_outcome(c, sandbox, result);
                }
                ++statuses[result.exit_code];
                fs::remove_all(elsewhere);
            }
        }
        // The failures did reach the program, and some runs still succeeded.
        EXPECT_GT(statuses[3], 0) << c.what;
        EXPECT_GT(statuses[0], 0) << c.what;
    }
}

INSTANTIATE_TEST_SUITE_P(PosixInjectedFailures, InjectedFailures, testing::ValuesIn(injected_cases()),
                         [](const testing::TestParamInfo<Case>& info) { return "case_" + std::to_string(info.index); });

TEST(PosixFiles, OnlyRegularFilesAreCopied) {
    const Sandbox sandbox;
    ASSERT_EQ(mkfifo((sandbox.path() / "pipe").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", sandbox.path() / "zero");
    for (const std::string name : {"pipe", "zero"}) {
        const auto started = std::chrono::steady_clock::now();
        const ProgramRun result = run_tesrak_via({"timeout", "10"}, {name, "-copy"}, sandbox.path());
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1)) << name;
        EXPECT_EQ(result.exit_code, 3) << name;
        EXPECT_TRUE(result.printed().starts_with("Backup failed: backup/" + name + ".")) << result.printed();
        EXPECT_TRUE(sandbox.backups().empty()) << name;
    }
    // Among other files: those before it are backed up, those after it are not.
    sandbox.write("a.txt", current);
    sandbox.write("c.txt", current);
    const ProgramRun result = run_tesrak({"a.txt", "pipe", "c.txt", "-copy"}, sandbox.path());
    EXPECT_EQ(result.exit_code, 3);
    EXPECT_TRUE(result.printed().starts_with("Backup failed: backup/pipe.")) << result.printed();
    ASSERT_EQ(sandbox.backups().size(), 1U);
    EXPECT_TRUE(sandbox.backups()[0].starts_with("a."));
}

// Inside a private mount namespace with /proc taken away; the child reports
// the first check that failed through its exit code.
int copies_without_proc(const fs::path& folder) {
    if (umount2("/proc", MNT_DETACH) != 0) return 77;
    std::ofstream(folder / "report.txt", std::ios::binary) << earlier;
    if (run_tesrak({"report.txt", "-copy", "-unique=date"}, folder).exit_code != 0) return 10;
    std::ofstream(folder / "report.txt", std::ios::binary) << current;
    if (run_tesrak({"report.txt", "-copy", "-unique=date"}, folder).exit_code != 0) return 11;
    std::vector<fs::path> names = backups_in(folder / "backup");
    if (names.size() != 1) return 12;
    std::ifstream in(names[0], std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {}) == current ? 0 : 13;
}

TEST(PosixFiles, CopiesWithoutProc) {
    const Sandbox sandbox;
    const int code = in_private_mount_namespace([&] { return copies_without_proc(sandbox.path()); });
    if (code == 77) GTEST_SKIP() << "/proc cannot be unmounted in a private namespace here";
    EXPECT_EQ(code, 0) << "check that failed: " << code;
}

TEST(PosixFiles, DropBoxFolderAndTooFewDescriptors) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run as another user";
    const Sandbox sandbox;
    fs::permissions(sandbox.path(), fs::perms::all);
    fs::create_directory(sandbox.path() / "backup");
    fs::permissions(sandbox.path() / "backup", fs::perms::all | fs::perms::sticky_bit);
    fs::permissions(sandbox.path() / "backup", fs::perms::owner_read | fs::perms::group_read |
                                                   fs::perms::others_read, fs::perm_options::remove);
    sandbox.write("notes.txt", current);
    fs::permissions(sandbox.path() / "notes.txt", fs::perms::others_read, fs::perm_options::add);
    const std::vector<std::string> nobody{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    // Twice, the second run replacing the first run's backup.
    for (int run = 0; run < 2; ++run) {
        const ProgramRun result = run_tesrak_via(nobody, {"notes.txt", "-copy", "-unique=date"}, sandbox.path());
        EXPECT_EQ(result.exit_code, 0) << result.printed();
    }
    fs::permissions(sandbox.path() / "backup", fs::perms::owner_read, fs::perm_options::add);
    ASSERT_EQ(sandbox.backups().size(), 1U);
    EXPECT_EQ(sandbox.read("backup/" + sandbox.backups()[0]), current);

    // Room for the folder, none for the source (descriptors the test inherited closed).
    const std::string limit = "exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&- && ulimit -n 4 && exec \"$0\" \"$@\"";
    const ProgramRun result = run_tesrak_via({"sh", "-c", limit},
                                             {"notes.txt", "-copy", "-unique=time"}, sandbox.path());
    EXPECT_EQ(result.exit_code, 3) << result.printed();
    EXPECT_EQ(sandbox.read("notes.txt"), current);
    EXPECT_EQ(sandbox.backups().size(), 1U);
}

// The program under an address-space limit, its standard error on its output.
ProgramRun run_with_memory_limit(int kib, const Sandbox& sandbox) {
    const std::string limit = "ulimit -v " + std::to_string(kib) + " && exec \"$0\" \"$@\" 2>&1";
    return run_tesrak_via({"sh", "-c", limit}, {"report.txt", "-copy"}, sandbox.path());
}

TEST(PosixFiles, OutOfMemoryIsTheSilentFatalStatus) {
    if (sanitized) GTEST_SKIP() << "the sanitizer reserves more address space than any limit allows";
    const Sandbox sandbox;
    sandbox.write("report.txt", current);
    // The smallest limit under which the loader can start the program at all
    // (below it the loader itself fails with 127)...
    int low = 256;
    int high = 65536;
    while (high - low > 4) {
        const int middle = (low + high) / 2;
        (run_with_memory_limit(middle, sandbox).exit_code == 127 ? low : high) = middle;
    }
    // ...and from there up to the limit under which the backup is made, every
    // run ends with 255 and no output: never with a signal or a message.
    int fatal_runs = 0;
    for (int kib = high; kib < high + 1024; kib += 4) {
        const ProgramRun result = run_with_memory_limit(kib, sandbox);
        if (result.exit_code == 0) break;
        SCOPED_TRACE("ulimit -v " + std::to_string(kib));
        EXPECT_EQ(result.exit_code, 255);
        EXPECT_EQ(result.printed(), "");
        ++fatal_runs;
    }
    EXPECT_GT(fatal_runs, 0);
    EXPECT_EQ(sandbox.read("report.txt"), current);
}

}  // namespace
