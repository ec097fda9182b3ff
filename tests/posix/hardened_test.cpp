// POSIX only: backups where the world works against them: an ordinary user's
// groups, links and foreign folders below backup/, files that change while
// copied, odd file systems, a failed batch's flush, and runs that make nothing.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <numeric>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/accounts.h"
#include "support/loop_image.h"
#include "support/sandbox.h"
#include "support/spawn.h"

namespace {

namespace fs = std::filesystem;

const std::string content = "the file's content\n";
constexpr std::size_t four_mebibytes = 4 << 20;
const std::string long_base(246, 'n');  // with ".txt" a name of 250 characters

// One row's world: the sandbox the program runs in and what the row made for
// it, all undone at the end whether the row passed or not.
struct Case {
    Sandbox sandbox;
    std::vector<std::string> launcher;
    Accounts accounts;
    std::optional<LoopImage> image;
    fs::path elsewhere;            // a folder on another file system
    std::atomic<long> written{0};  // versions or lines the worker wrote
    std::jthread worker;           // rewrites or appends to a file while the program runs

    ~Case() {
        worker = {};
        std::error_code ignored;
        if (!elsewhere.empty()) fs::remove_all(elsewhere, ignored);
    }
    fs::path at(const std::string& name) const { return sandbox.path() / name; }
};

std::string account(const std::string& what) { return Accounts::name(what); }

id_t add_account(Case& c, const std::string& kind, const std::string& what, const std::string& options) {
    const id_t id = c.accounts.add(kind, what, options);
    EXPECT_NE(id, static_cast<id_t>(-1)) << kind << " " << what;
    return id;
}

void wait_until_written(const Case& c, long count) {
    for (int i = 0; i < 10000 && c.written < count; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_GE(c.written, count) << "the worker thread stalled";
}

std::string log_line(long number) { return std::to_string(100000000 + number).substr(1) + "\n"; }

// The numbers of a log's lines; one that the logger did not write counts as
// line 0, which is then there twice.
std::vector<long> log_numbers(const std::string& text) {
    std::vector<long> numbers;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        numbers.push_back(line.size() == 8 ? std::atol(line.c_str()) : 0);
    }
    return numbers;
}

struct Row {
    const char* name;
    std::function<void(Case&)> setup;  // lays the sandbox out; may skip the row
    std::vector<std::string> arguments;
    int status;                         // -1: the check decides
    std::optional<std::string> output;  // a pattern for matches(); none: the check decides
    std::function<void(Case&, const ProgramRun&)> check;
    int runs = 1;
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

// A user in group public (as a member, in secret too) copies a file of
// daemon:secret into a set-group-ID backup folder of group public.
std::function<void(Case&)> group_setup(bool member, mode_t mode) {
    return [=](Case& c) {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to make users and groups";
        const id_t secret = add_account(c, "group", "secret", "");
        const id_t shared = add_account(c, "group", "public", "");
        add_account(c, "user", "user", "-M -N -g " + account("public") + (member ? " -G " + account("secret") : ""));
        c.launcher = {"setpriv", "--reuid=" + account("user"), "--regid=" + account("public"), "--init-groups"};
        c.sandbox.write("report.txt", content);
        fs::create_directory(c.at("backup"));
        ASSERT_EQ(chmod(c.sandbox.path().c_str(), 0755), 0);
        ASSERT_EQ(chown(c.at("report.txt").c_str(), 1, secret), 0);
        ASSERT_EQ(chmod(c.at("report.txt").c_str(), mode), 0);
        ASSERT_EQ(chown(c.at("backup").c_str(), 0, shared), 0);
        ASSERT_EQ(chmod(c.at("backup").c_str(), 02775), 0);
    };
}

// The copy is the user's. It keeps the source's group where the user may give
// it; in the folder's group instead it grants no more than the source granted
// everyone, so that no one who could not read the source reads its backup.
std::function<void(Case&, const ProgramRun&)> group_check(bool kept, mode_t mode) {
    return [=](Case& c, const ProgramRun&) {
        const std::vector<std::string> names = c.sandbox.backups();
        ASSERT_EQ(names.size(), 1U);
        struct stat source {}, folder {}, copy {};
        ASSERT_EQ(stat(c.at("report.txt").c_str(), &source) | stat(c.at("backup").c_str(), &folder) |
                      stat(c.at("backup/" + names[0]).c_str(), &copy), 0);
        const passwd* user = getpwnam(account("user").c_str());
        ASSERT_NE(user, nullptr);
        EXPECT_EQ(copy.st_uid, user->pw_uid);
        EXPECT_EQ(copy.st_gid, kept ? source.st_gid : folder.st_gid);
        EXPECT_EQ(copy.st_mode & 07777, mode) << std::oct << "0" << (copy.st_mode & 07777);
        if (copy.st_gid != source.st_gid) {
            EXPECT_EQ((copy.st_mode >> 3) & 07 & ~source.st_mode, 0U) << "its group may do what others could not";
        }
        EXPECT_EQ(c.sandbox.read("backup/" + names[0]), content);
    };
}

// backup/sub is not a real folder of the runner's: nothing is written into
// the folder it leads to, and the source stays as it was.
std::string refused_below(const std::string& reason) {
    return "Backup failed: backup/sub/file.{D}.{D}.txt: " + reason + "\nErrorLevel: 3\n";
}
std::function<void(Case&, const ProgramRun&)> nothing_written_in(const std::string& folder) {
    return [=](Case& c, const ProgramRun&) {
        EXPECT_TRUE(c.sandbox.backups(folder).empty());
        EXPECT_EQ(c.sandbox.read("sub/file.txt"), content);
    };
}

void link_below_backup(Case& c) {
    c.sandbox.write("sub/file.txt", content);
    fs::create_directories(c.at("backup"));
    fs::create_directory(c.at("outside"));
    fs::create_directory_symlink(c.at("outside"), c.at("backup/sub"));
}

std::vector<Row> rows() {
    const std::vector<std::string> copy_sub{"sub/file.txt", "-copy"};
    return {
        {"group_kept_by_a_member", group_setup(true, 0640), {"report.txt", "-copy"}, 0, "", group_check(true, 0640)},
        {"group_dropped_for_an_outsider", group_setup(false, 0664), {"report.txt", "-copy"}, 0, "",
         group_check(false, 0644)},
        {"link_below_backup_copy", link_below_backup, copy_sub, 3, refused_below("Not a directory"),
         nothing_written_in("outside")},
        {"link_below_backup_move", link_below_backup, {"sub/file.txt"}, 3, refused_below("Not a directory"),
         nothing_written_in("outside")},
        {"foreign_folder_below_backup",
         [](Case& c) {
             if (geteuid() != 0) GTEST_SKIP() << "needs root to give a folder to another user";
             c.sandbox.write("sub/file.txt", content);
             fs::create_directories(c.at("backup/sub"));
             ASSERT_EQ(chown(c.at("backup/sub").c_str(), 65534, 65534), 0);
         },
         copy_sub, 3, refused_below("Operation not permitted"), nothing_written_in("backup/sub")},
        // Each version fills the whole file with one byte, written over the
        // last in place: a backup reported as made holds one version alone.
        {"file_rewritten_while_copied",
         [](Case& c) {
             c.sandbox.write("f", std::string(four_mebibytes, '\1'));
             c.worker = std::jthread([&c](const std::stop_token& stop) {
                 const int fd = open(c.at("f").c_str(), O_WRONLY | O_CLOEXEC);
                 std::string version(four_mebibytes, '\0');
                 for (int byte = 2; fd >= 0 && !stop.stop_requested(); byte = byte % 250 + 1) {
                     std::fill(version.begin(), version.end(), static_cast<char>(byte));
                     if (pwrite(fd, version.data(), version.size(), 0) > 0) ++c.written;
                 }
                 if (fd >= 0) close(fd);
             });
             wait_until_written(c, 1);
         },
         {"f", "-copy", "-unique=date"}, -1, std::nullopt,
         [](Case& c, const ProgramRun& result) {
             const std::vector<std::string> names = c.sandbox.backups();
             if (result.exit_code == 3) {  // the file did not hold still long enough
                 EXPECT_TRUE(result.printed().starts_with("Backup failed: backup/f.")) << result.printed();
                 EXPECT_TRUE(names.empty());
                 return;
             }
             ASSERT_EQ(result.exit_code, 0) << result.printed();
             ASSERT_EQ(names.size(), 1U);
             const std::string copy = c.sandbox.read("backup/" + names[0]);
             ASSERT_EQ(copy.size(), four_mebibytes);
             ASSERT_EQ(copy.find_first_not_of(copy[0]), std::string::npos) << "a torn backup";
             fs::remove(c.at("backup/" + names[0]));
         },
         40},
        {"proc_file_whose_size_is_zero", {}, {"/proc/version", "-copy"}, 0, "",
         [](Case& c, const ProgramRun&) {
             const std::vector<std::string> names = c.sandbox.backups("backup/proc");
             ASSERT_EQ(names.size(), 1U);
             EXPECT_TRUE(matches("version.{D}.{D}", names[0])) << names[0];
             std::ifstream in("/proc/version");
             std::ostringstream version;
             version << in.rdbuf();
             ASSERT_FALSE(version.str().empty());
             EXPECT_EQ(c.sandbox.read("backup/proc/" + names[0]), version.str());
         }},
        // A logger opens, appends to and closes app.log for each line, as a
        // shell's >> does, while the log is moved to another file system.
        {"growing_log_moved_elsewhere",
         [](Case& c) {
             struct stat here {}, there {};
             if (stat(c.sandbox.path().c_str(), &here) != 0 || stat("/dev/shm", &there) != 0 ||
                 here.st_dev == there.st_dev) {
                 GTEST_SKIP() << "no second file system at /dev/shm";
             }
             c.elsewhere = "/dev/shm/tesrak-test-" + std::to_string(getpid());
             fs::create_directory(c.elsewhere);
             fs::create_directory_symlink(c.elsewhere, c.at("backup"));
             std::string earlier;  // 18 MiB, so that the copy takes a while
             for (c.written = 0; c.written < (2 << 20); ++c.written) earlier += log_line(c.written);
             c.sandbox.write("app.log", earlier);
             c.worker = std::jthread([&c](const std::stop_token& stop) {
                 while (!stop.stop_requested()) {
                     const std::string line = log_line(c.written);
                     const int fd = open(c.at("app.log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
                     if (fd >= 0 && write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
                         ++c.written;
                     }
                     if (fd >= 0) close(fd);
                 }
             });
             wait_until_written(c, c.written + 1000);
         },
         {"app.log"}, 0, "",
         [](Case& c, const ProgramRun&) {
             wait_until_written(c, c.written + 1000);
             c.worker = {};
             const std::vector<std::string> names = c.sandbox.backups();
             ASSERT_EQ(names.size(), 1U);
             std::vector<long> all;
             for (const std::string& log : {"backup/" + names[0], std::string("app.log")}) {
                 const std::vector<long> numbers = log_numbers(c.sandbox.read(log));
                 EXPECT_TRUE(std::adjacent_find(numbers.begin(), numbers.end(), std::greater_equal<>()) ==
                             numbers.end()) << log << ": lines out of order or twice";
                 all.insert(all.end(), numbers.begin(), numbers.end());
             }
             std::sort(all.begin(), all.end());
             std::vector<long> every(static_cast<std::size_t>(c.written.load()));
             std::iota(every.begin(), every.end(), 0L);
             EXPECT_TRUE(all == every) << all.size() << " lines kept of " << every.size() << " written";
         }},
        // Report.txt and report.txt are one name on the backup's file system:
        // the second copy takes a later stamp rather than replace the first.
        {"two_names_for_one_on_a_case_insensitive_folder",
         [](Case& c) {
             c.image.emplace(64, std::vector<std::string>{"mkntfs", "-F", "-Q"}, "lowntfs-3g", "ignore_case");
             if (!c.image->unavailable().empty()) GTEST_SKIP() << c.image->unavailable();
             const fs::path folder = c.image->mount_point() / "backup";
             fs::create_directory(folder);
             std::ofstream(folder / "Probe").close();
             if (!fs::exists(folder / "pROBE")) GTEST_SKIP() << "lowntfs-3g does not ignore case here";
             fs::remove(folder / "Probe");
             fs::create_directory_symlink(folder, c.at("backup"));
             c.sandbox.write("Report.txt", "the first file\n");
             c.sandbox.write("report.txt", "the second file\n");
         },
         {"Report.txt", "report.txt", "-copy"}, 0, "",
         [](Case& c, const ProgramRun&) {
             const std::vector<std::string> names = c.sandbox.backups();
             ASSERT_EQ(names.size(), 2U);
             std::string contents;
             for (std::string name : names) {
                 contents += c.sandbox.read("backup/" + name);
                 name[0] = 'r';
                 EXPECT_TRUE(matches("report.{D}.{D}.txt", name)) << name;
             }
             EXPECT_TRUE(contents == "the first file\nthe second file\n" ||
                         contents == "the second file\nthe first file\n") << contents;
         }},
        // 300 names of 250 characters: more than flistxattr can return (E2BIG),
        // which is no lack of memory (status 255).
        {"attribute_names_beyond_one_list",
         [](Case& c) {
             c.image.emplace(320, std::vector<std::string>{"mkfs.xfs", "-q", "-f"}, "xfs");
             if (!c.image->unavailable().empty()) GTEST_SKIP() << c.image->unavailable();
             const fs::path file = c.image->mount_point() / "f";
             std::ofstream(file, std::ios::binary) << std::string(1 << 20, 'x') << content;
             for (int i = 1000; i < 1300; ++i) {
                 const std::string name = "user." + std::to_string(i) + std::string(241, 'a');
                 ASSERT_EQ(setxattr(file.c_str(), name.c_str(), "v", 1, 0), 0) << name;
             }
             std::vector<char> list(64 << 10);
             ASSERT_EQ(listxattr(file.c_str(), list.data(), list.size()), -1);
             ASSERT_EQ(errno, E2BIG);
             fs::create_directory(c.image->mount_point() / "backup");
             fs::create_directory_symlink(c.image->mount_point() / "backup", c.at("backup"));
             fs::create_symlink(file, c.at("f"));
         },
         {"f", "-copy"}, 0, "",
         [](Case& c, const ProgramRun&) {
             const std::vector<std::string> names = c.sandbox.backups();
             ASSERT_EQ(names.size(), 1U);
             EXPECT_TRUE(c.sandbox.read("backup/" + names[0]) == c.sandbox.read("f"));
         }},
        // The third name is too long to take; the two taken before it must be
        // on the disk when the run ends, so backup/ is flushed after them.
        {"failed_batch_flushes_the_names_it_took",
         [](Case& c) {
             if (std::system("command -v strace >/dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
             for (const std::string name : {"f1", "f2", "f3"}) c.sandbox.write(name, content);
             c.sandbox.write(long_base + ".txt", content);
             c.launcher = {"strace", "-f", "-y", "-e", "trace=linkat,renameat,renameat2,fsync,fdatasync",
                           "-o", c.at("trace").string()};
         },
         {"f1", "f2", long_base + ".txt", "f3", "-copy"}, 3,
         "Backup failed: backup/" + long_base + ".{D}.{D}.txt: File name too long\nErrorLevel: 3\n",
         [](Case& c, const ProgramRun&) {
             const std::vector<std::string> names = c.sandbox.backups();
             ASSERT_EQ(names.size(), 2U);
             EXPECT_TRUE(matches("f1.{D}.{D}", names[0]) && matches("f2.{D}.{D}", names[1])) << names[0];
             const std::string folder = "<" + fs::canonical(c.at("backup")).string() + ">)";
             bool named = false;
             bool flushed = false;
             std::ifstream trace(c.at("trace"));
             for (std::string line; std::getline(trace, line);) {
                 if (!line.ends_with(" = 0")) continue;
                 const bool naming = line.find("linkat(") != std::string::npos ||
                                     line.find("renameat") != std::string::npos;
                 named = named || naming;
                 flushed = !naming && (flushed || (line.find("sync(") != std::string::npos &&
                                                   line.find(folder) != std::string::npos));
             }
             EXPECT_TRUE(named);
             EXPECT_TRUE(flushed) << "backup/ was not flushed after the last name was taken";
         }},
        {"missing_file_makes_no_folder", {}, {"missing.txt"}, 2,
         "File does not exist: missing.txt\nErrorLevel: 2\n",
         [](Case& c, const ProgramRun&) { EXPECT_FALSE(c.sandbox.exists("backup")); }},
        {"folder_named_with_dot_dot_makes_nothing", [](Case& c) { fs::create_directory(c.at("x")); },
         {"x/..", "-copy"}, 3, std::nullopt,
         [](Case& c, const ProgramRun& result) {
             EXPECT_TRUE(result.printed().starts_with("Backup failed: backup/") &&
                         result.printed().ends_with("\nErrorLevel: 3\n")) << result.printed();
             EXPECT_FALSE(c.sandbox.exists("backup"));
         }},
    };
}

class Hardened : public testing::TestWithParam<Row> {};

TEST_P(Hardened, Row) {
    const Row& row = GetParam();
    SCOPED_TRACE(row.name);
    Case c;
    if (row.setup) row.setup(c);
    if (IsSkipped() || HasFatalFailure()) return;
    for (int run = 1; run <= row.runs && !HasFatalFailure(); ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const ProgramRun result = run_tesrak_via(c.launcher, row.arguments, c.sandbox.path());
        if (row.status >= 0) {
            EXPECT_EQ(result.exit_code, row.status) << result.printed();
        }
        if (row.output) {
            EXPECT_TRUE(matches(*row.output, result.printed())) << result.printed();
        }
        row.check(c, result);
    }
}

INSTANTIATE_TEST_SUITE_P(PosixHardened, Hardened, testing::ValuesIn(rows()),
                         [](const testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

}  // namespace
