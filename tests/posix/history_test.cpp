// POSIX only: a file's backups put to use, end to end: listed newest first,
// restored (the current version backed up first), thinned out by --keep,
// skipped by --if-changed when nothing changed, and shown by --dry-run.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <ctime>
#include <functional>
#include <iomanip>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/accounts.h"
#include "support/run_table.h"
#include "support/sandbox.h"
#include "support/spawn.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

const std::string current = "the current version\n";

struct Case {
    Sandbox sandbox;
    struct stat before {};  // of report.txt, for a row that must leave it alone
    Accounts accounts;
    id_t owner = 0, other = 0;          // in a shared folder: the runner and another user
    std::vector<std::string> launcher;  // runs the program as the owner, or in a zone
    ProgramRun result;                  // of the row's run, for its check
    int held = -1;                      // a lock on backup/ that another run holds
    std::atomic<std::int64_t> released{0};  // when it was let go, in nanoseconds of the real clock
    std::jthread releaser;

    ~Case() {
        releaser = {};
        if (held >= 0) close(held);
    }

    fs::path at(const std::string& name) const { return sandbox.path() / name; }
    void make(const std::string& name, const std::string& text, mode_t mode = 0644) const {
        sandbox.write(name, text);
        ASSERT_EQ(chmod(at(name).c_str(), mode), 0) << name;
    }
};

struct stat stat_of(const Case& c, const std::string& name) {
    struct stat status {};
    EXPECT_EQ(stat(c.at(name).c_str(), &status), 0) << name;
    return status;
}

bool same(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

void give(const Case& c, const std::string& name, uid_t owner) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give a file to another user";
    ASSERT_EQ(chown(c.at(name).c_str(), owner, owner), 0) << name;
}

void report(Case& c) { c.make("report.txt", current); }

// Earlier backups, made as files under backup/, each holding its own name so
// that a restored file tells which one it came from; and the files given
// (report.txt unless told), with the current version.
std::function<void(Case&)> given(const std::vector<std::string>& names,
                                 const std::vector<std::string>& files = {"report.txt"}) {
    return [=](Case& c) {
        for (const std::string& file : files) c.make(file, current);
        for (const std::string& name : names) c.make("backup/" + name, name);
    };
}

std::function<void(Case&)> holds(const std::string& file, const std::string& text) {
    return [=](Case& c) { EXPECT_EQ(c.sandbox.read(file), text); };
}

// backup/ holds the earlier names given and `made` new ones, each of them a
// copy of the current version.
void expect_folder(const Case& c, const std::vector<std::string>& earlier, std::size_t made) {
    const std::vector<std::string> names = c.sandbox.backups();
    std::size_t fresh = 0;
    for (const std::string& name : names) {
        if (std::find(earlier.begin(), earlier.end(), name) != earlier.end()) continue;
        ++fresh;
        EXPECT_EQ(c.sandbox.read("backup/" + name), current) << name;
    }
    EXPECT_EQ(names.size(), earlier.size() + made);
    EXPECT_EQ(fresh, made);
}

// A refused run: no backup folder, report.txt where and as it was.
void made_nothing(Case& c) {
    EXPECT_FALSE(c.sandbox.exists("backup"));
    EXPECT_EQ(c.sandbox.read("report.txt"), current);
}

const std::vector<std::string> two{"report.20261201.10000000.txt", "report.20261207.13052599.txt"};

void left_alone(Case& c) {
    EXPECT_EQ(c.sandbox.read("report.txt"), current);
    expect_folder(c, two, 0);
}

// The newest backup has this content, mode and owner; an older one is equal
// to report.txt, so that only a comparison with the newest decides.
const std::vector<std::string> older_newest{"report.20261201.10000000.txt", "report.20261206.10000000.txt"};
std::function<void(Case&)> newest_is(const std::string& text, mode_t mode, uid_t owner) {
    return [=](Case& c) {
        report(c);
        c.make("backup/" + older_newest[0], current);
        c.make("backup/" + older_newest[1], text, mode);
        if (owner != 0) give(c, "backup/" + older_newest[1], owner);
    };
}

std::function<void(Case&)> copies(std::size_t made) {
    return [=](Case& c) { expect_folder(c, older_newest, made); };
}

// A shared folder, root's and open to all (mode 1777, as /tmp): the owner
// runs the program, and another user plants names and links in it.
void shared_folder(Case& c) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make users";
    c.owner = c.accounts.add("user", "owner", "-M -U");
    c.other = c.accounts.add("user", "other", "-M -U");
    ASSERT_NE(c.owner, static_cast<id_t>(-1));
    ASSERT_NE(c.other, static_cast<id_t>(-1));
    ASSERT_EQ(chmod(c.sandbox.path().c_str(), 01777), 0);
    const std::string owner = Accounts::name("owner");
    c.launcher = {"setpriv", "--reuid=" + owner, "--regid=" + owner, "--init-groups"};
}

void made_by(const Case& c, const std::string& name, const std::string& text, mode_t mode, id_t user) {
    c.make(name, text, mode);
    ASSERT_EQ(lchown(c.at(name).c_str(), user, user), 0) << name;
}

// backup/ of root's, open to all, with the owner's backups and the other
// user's names.
void planted(Case& c, const std::vector<std::string>& owners, const std::vector<std::string>& others) {
    fs::create_directory(c.at("backup"));
    ASSERT_EQ(chmod(c.at("backup").c_str(), 01777), 0);
    for (const std::string& name : owners) made_by(c, "backup/" + name, name, 0600, c.owner);
    for (const std::string& name : others) made_by(c, "backup/" + name, name, 0666, c.other);
}

// Runs the program in Berlin's zone with the clock set to a moment given in
// universal time (libfaketime through faketime, as an offset from now).
ProgramRun run_in_berlin_at(const Case& c, const std::string& utc, const std::vector<std::string>& arguments) {
    std::tm fields{};
    std::istringstream(utc) >> std::get_time(&fields, "%Y-%m-%d %H:%M");
    const long long offset = static_cast<long long>(timegm(&fields)) - static_cast<long long>(std::time(nullptr));
    const std::vector<std::string> launcher{"env", "TZ=Europe/Berlin", "NO_FAKE_STAT=1", "faketime", "-f",
                                            (offset < 0 ? "" : "+") + std::to_string(offset) + "s"};
    return run_tesrak_via(launcher, arguments, c.sandbox.path());
}

// Every change time in backup/ is now, as after chmod -R, chown -R, cp -a
// or rsync -a of the folder.
void metadata_changed(const Case& c) {
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(c.at("backup"))) {
        ASSERT_EQ(chmod(entry.path().c_str(), entry.is_directory() ? 0700 : 0600), 0) << entry.path();
    }
}

// The program runs in Berlin's zone. On 25 October 2026 its clocks go back
// at 03:00 summer time to 02:00, so 02:30 comes at 00:30 UTC and again at
// 01:30.
void in_berlin(Case& c) {
    if (!fs::exists("/usr/share/zoneinfo/Europe/Berlin")) GTEST_SKIP() << "no zone data for Europe/Berlin";
    c.launcher = {"env", "TZ=Europe/Berlin"};
}

// Backups of notes.txt made by hand at 02:30 on 25 October, on 1 November
// and on 1 December, each holding its name, then changed now.
const std::vector<std::string> autumn{"notes.20261025.02300000.txt", "notes.20261101.10000000.txt",
                                      "notes.20261201.10000000.txt"};
void autumn_changed_now(Case& c) {
    in_berlin(c);
    if (testing::Test::IsSkipped()) return;
    given(autumn, {"notes.txt"})(c);
    metadata_changed(c);
}

// The program's own backups at 02:30 summer time and at 03:10 winter time
// (02:10 UTC), each of its own version, between names made by hand at 01:59
// summer time and 03:05 winter time; then all of them changed now.
void repeated_hour(Case& c) {
    if (std::system("command -v faketime >/dev/null") != 0) GTEST_SKIP() << "faketime is not installed";
    in_berlin(c);
    if (testing::Test::IsSkipped()) return;
    given({"notes.20261025.01590000.txt", "notes.20261025.03050000.txt"}, {})(c);
    for (const auto& [utc, version] : {std::pair{"2026-10-25 00:30", "02:30 summer"},
                                       std::pair{"2026-10-25 02:10", "03:10 winter"}}) {
        c.make("notes.txt", version);
        ASSERT_EQ(run_in_berlin_at(c, utc, {"-copy", "notes.txt"}).exit_code, 0) << version;
    }
    metadata_changed(c);
}

// a01.txt, a02.txt, ..., after the arguments given.
std::vector<std::string> numbered_files(int count, std::vector<std::string> arguments = {}) {
    for (int i = 1; i <= count; ++i) arguments.push_back("a" + std::to_string(100 + i).substr(1) + ".txt");
    return arguments;
}

// Names of a07.txt standing under every stamp of the clock's first 0.3 s.
std::vector<std::string> standing_names() {
    std::vector<std::string> names;
    names.reserve(30);
    for (int i = 0; i < 30; ++i) names.push_back("a07.20261208.100000" + std::to_string(100 + i).substr(1) + ".txt");
    return names;
}

// The files, the names standing, and the clock started at 10:00:00.00.
std::function<void(Case&)> names_standing_at_the_start(int files) {
    return [=](Case& c) {
        if (std::system("command -v faketime >/dev/null") != 0) GTEST_SKIP() << "faketime is not installed";
        given(standing_names(), numbered_files(files))(c);
        c.launcher = {"env", "TZ=UTC", "NO_FAKE_STAT=1", "faketime", "-f", "@2026-12-08 10:00:00"};
    };
}

// The run waited the names out and took one later stamp for all its files.
void one_later_stamp_for_all(Case& c, int files) {
    const std::vector<std::string> standing = standing_names();
    expect_folder(c, standing, static_cast<std::size_t>(files));
    for (const std::string& name : standing) EXPECT_EQ(c.sandbox.read("backup/" + name), name);
    std::vector<std::string> stamps;
    for (const std::string& name : c.sandbox.backups()) {
        if (std::ranges::find(standing, name) == standing.end()) stamps.push_back(name.substr(4, 17));
    }
    ASSERT_FALSE(stamps.empty());
    EXPECT_EQ(std::ranges::count(stamps, stamps[0]), files) << stamps[0];
    EXPECT_GT(stamps[0], "20261208.10000029") << "a stamp under which a name stood";
}

// The versions the listed paths hold, in the order listed.
std::string listed_versions(const Case& c) {
    std::istringstream lines(c.result.output);
    std::string versions;
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(line.starts_with("backup/notes.20261025.")) << line << ": not made on 25 October";
        versions += c.sandbox.read(line) + ";";
    }
    return versions;
}

// Another run holds backup/; with a delay, it lets go of it.
std::function<void(Case&)> folder_held(std::optional<std::chrono::milliseconds> for_how_long) {
    return [=](Case& c) {
        report(c);
        fs::create_directory(c.at("backup"));
        c.held = open(c.at("backup").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_EQ(flock(c.held, LOCK_EX), 0);
        if (!for_how_long) return;
        c.releaser = std::jthread([&c, wait = *for_how_long] {
            std::this_thread::sleep_for(wait);
            timespec now{};
            // The coarse clock is the one that file times are taken from.
            clock_gettime(CLOCK_REALTIME_COARSE, &now);
            c.released = static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
            flock(c.held, LOCK_UN);
        });
    };
}

// A symbolic link that a run moved into backup/.
std::function<void(Case&)> moved_link(bool absolute) {
    return [=](Case& c) {
        c.make("target.txt", current);
        fs::create_symlink(absolute ? c.at("target.txt") : fs::path("target.txt"), c.at("link"));
        ASSERT_EQ(run_tesrak({"link"}, c.sandbox.path()).exit_code, 0);
        ASSERT_FALSE(fs::is_symlink(c.at("link")));
    };
}

std::function<void(Case&)> link_back(bool absolute) {
    return [=](Case& c) {
        ASSERT_TRUE(fs::is_symlink(c.at("link")));
        EXPECT_EQ(fs::read_symlink(c.at("link")), absolute ? c.at("target.txt") : fs::path("target.txt"));
        EXPECT_EQ(c.sandbox.read("target.txt"), current);
        EXPECT_EQ(c.sandbox.backups().size(), 1U);
    };
}

using Row = RunRow<Case>;

std::vector<Row> rows() {
    // Older than any run of these tests, so that a run's own backup is the newest.
    const std::vector<std::string> four{"report.20201201.10000000.txt", "report.20201202.10000000.txt",
                                        "report.20201203.10000000.txt", "report.20201204.10000000.txt"};
    const std::vector<std::string> unrelated{"notes.20261201.10000000.txt", "report-old.20261201.txt",
                                             "report.txt.bak"};
    const std::string keep_refused = "Invalid choice for the --keep option: ";
    const std::vector<std::string> if_changed{"--if-changed", "-copy", "report.txt"};
    return {
        // Any separator before each part, the stamp before the extension or
        // after the whole name; an equal time goes by the greater name.
        {"list_newest_first",
         given({"report.20261201.10000000.txt", "report-20261203-08000000.txt", "report,20261203=08000000.txt",
                "report.txt_20261205_12000000", "report.20261207.13052599.txt"}),
         {"--list", "report.txt"}, 0,
         "backup/report.20261207.13052599.txt\nbackup/report.txt_20261205_12000000\n"
         "backup/report-20261203-08000000.txt\nbackup/report,20261203=08000000.txt\n"
         "backup/report.20261201.10000000.txt\n", {}},
        // A one-part name goes by its change time, whatever its digits say:
        // the later made is the newer, and both fall between 2000 and 2099.
        {"list_one_part_names_by_change_time",
         [](Case& c) {
             given({"report.20000101.00000000.txt", "report.20991231.00000000.txt", "report.20261209.txt"}, {})(c);
             std::this_thread::sleep_for(std::chrono::milliseconds(30));
             given({"report.20261201.txt"}, {})(c);
         },
         {"--list", "report.txt"}, 0,
         "backup/report.20991231.00000000.txt\nbackup/report.20261201.txt\nbackup/report.20261209.txt\n"
         "backup/report.20000101.00000000.txt\n", {}},
        // What xargs -0 reads of a file without backups: nothing.
        {"list_null_of_a_file_without_backups", given({}, {}), {"--list", "--null", "report.txt"}, 2,
         "No backup of: report.txt\nErrorLevel: 2\n", [](Case& c) { EXPECT_EQ(c.result.output, ""); }},
        {"list_null", given(two, {}), {"--list", "--null", "report.txt"}, 0,
         "backup/report.20261207.13052599.txt\0backup/report.20261201.10000000.txt\0"s, {}},
        // conf/app.yml is not there: its backups in backup/conf/ still are.
        {"list_folder_part_of_a_missing_file",
         given({"conf/app.20261207.13052599.yml", "conf/app.yml.20261201.10000000", "app.20261208.10000000.yml"}, {}),
         {"--list", "conf/app.yml"}, 0,
         "backup/conf/app.20261207.13052599.yml\nbackup/conf/app.yml.20261201.10000000\n",
         [](Case& c) { EXPECT_FALSE(c.sandbox.exists("conf")); }},
        // Names a backup run could not have made from report.txt, a run's
        // temporary file, and a folder's backup, which a file has none of.
        {"list_leaves_out_what_is_no_backup_of_the_file",
         given({"report.20261201.10000000.txt", "report.txt.bak", "report.2026.txt", "report-old.20261207.txt",
                "notes.20261207.13052599.txt", "reports.20261207.13052599.txt", ".tesrak-1f2e3d4c",
                "report.20261206.10000000.txt/inner.txt"}),
         {"--list", "report.txt"}, 0, "backup/report.20261201.10000000.txt\n", {}},
        {"list_stops_at_a_file_without_backup",
         given({"a.20261207.13052599.txt", "b.txt.bak", "c.20261207.13052599.txt"}, {}),
         {"--list", "a.txt", "b.txt", "c.txt"}, 2,
         "backup/a.20261207.13052599.txt\nNo backup of: b.txt\nErrorLevel: 2\n", {}},

        {"restore_the_newest", given({two[0], two[1], "report-old.20261209.txt"}, {}),
         {"--restore", "report.txt"}, 0, "",
         [](Case& c) {
             EXPECT_EQ(c.sandbox.read("report.txt"), two[1]);
             expect_folder(c, {two[0], two[1], "report-old.20261209.txt"}, 0);
         }},
        // The version replaced is backed up first, with the run's switches,
        // so that the restore can be undone.
        {"restore_backs_up_the_changed_file_first", given(two), {"--restore", "-sep=_", "report.txt"}, 0, "",
         [](Case& c) {
             EXPECT_EQ(c.sandbox.read("report.txt"), two[1]);
             expect_folder(c, two, 1);
             EXPECT_TRUE(matches("report_{D}_{D}.txt", c.sandbox.backups().back())) << c.sandbox.backups().back();
         }},
        // A date stands for its last hundredth, 23:59:59.99.
        {"restore_at_a_date",
         given({"report.20261130.23000000.txt", "report.20261201.23595999.txt", "report.20261202.00000000.txt"}, {}),
         {"--restore", "--at=20261201", "report.txt"}, 0, "", holds("report.txt", "report.20261201.23595999.txt")},
        {"restore_at_a_hundredth",
         given({"report.20261201.11595999.txt", "report.20261201.12000000.txt", "report.20261201.12000001.txt"}, {}),
         {"--restore", "--at=2026120112000000", "report.txt"}, 0, "",
         holds("report.txt", "report.20261201.12000000.txt")},
        {"restore_at_before_every_backup", given(two), {"--restore", "--at=20261130", "report.txt"}, 2,
         "No backup of: report.txt\nErrorLevel: 2\n", left_alone},
        // Equal in content, mode and owner to the newest backup (an older one
        // differs): not written at all, so its inode and times stay.
        {"restore_leaves_an_equal_file_alone",
         [](Case& c) {
             given(two, {})(c);
             c.make("report.txt", two[1]);
             fs::last_write_time(c.at("report.txt"), fs::last_write_time(c.at("report.txt")) - std::chrono::hours(1));
             c.before = stat_of(c, "report.txt");
         },
         {"--restore", "report.txt"}, 0, "",
         [](Case& c) {
             const struct stat after = stat_of(c, "report.txt");
             EXPECT_TRUE(after.st_ino == c.before.st_ino && same(after.st_mtim, c.before.st_mtim) &&
                         same(after.st_ctim, c.before.st_ctim)) << "report.txt was written";
             expect_folder(c, two, 0);
         }},
        {"restore_through_a_link",
         [](Case& c) {
             c.make("target.txt", current);
             fs::create_symlink("target.txt", c.at("report.txt"));
             given({two[1]}, {})(c);
         },
         {"--restore", "report.txt"}, 0, "",
         [](Case& c) {
             ASSERT_TRUE(fs::is_symlink(c.at("report.txt")));
             EXPECT_EQ(fs::read_symlink(c.at("report.txt")), "target.txt");
             EXPECT_EQ(c.sandbox.read("target.txt"), two[1]);
             expect_folder(c, {two[1]}, 1);
         }},
        // The backup belongs to the file's owner, so it counts.
        {"restore_owner_mode_and_times",
         [](Case& c) {
             report(c);
             give(c, "report.txt", 1);
             c.make("backup/" + two[1], two[1], 0640);
             give(c, "backup/" + two[1], 1);
             fs::last_write_time(c.at("backup/" + two[1]), fs::file_time_type::clock::now() - std::chrono::hours(150));
         },
         {"--restore", "report.txt"}, 0, "",
         [](Case& c) {
             const struct stat file = stat_of(c, "report.txt"), backup = stat_of(c, "backup/" + two[1]);
             EXPECT_EQ(c.sandbox.read("report.txt"), two[1]);
             EXPECT_TRUE(file.st_uid == 1 && file.st_gid == 1 && (file.st_mode & 07777) == 0640)
                 << file.st_uid << ":" << file.st_gid << " mode " << std::oct << (file.st_mode & 07777);
             EXPECT_TRUE(same(file.st_mtim, backup.st_mtim)) << "not the backup's modification time";
         }},
        {"restore_makes_missing_folders", given({"conf/app.20261207.13052599.yml"}, {}),
         {"--restore", "conf/app.yml"}, 0, "", holds("conf/app.yml", "conf/app.20261207.13052599.yml")},
        // Every backup is chosen before anything changes: a.txt, which has
        // one, is neither backed up nor restored.
        {"restore_nothing_when_one_file_has_no_backup",
         given({"a.20261207.13052599.txt"}, {"a.txt"}),
         {"--restore", "a.txt", "b.txt"}, 2, "No backup of: b.txt\nErrorLevel: 2\n",
         [](Case& c) {
             EXPECT_EQ(c.sandbox.read("a.txt"), current);
             expect_folder(c, {"a.20261207.13052599.txt"}, 0);
         }},
        // The newest backup's bytes differ from its record: the changed file
        // is neither backed up first nor restored, not even from the older one.
        {"restore_from_a_damaged_backup_changes_nothing",
         [](Case& c) {
             for (const char* version : {"an earlier version\n", "a later version\n"}) {
                 c.make("report.txt", version);
                 ASSERT_EQ(run_tesrak({"-copy", "report.txt"}, c.sandbox.path()).exit_code, 0);
             }
             const std::string newest = "backup/" + c.sandbox.backups().back();
             c.sandbox.write(newest, "X" + c.sandbox.read(newest).substr(1));
             report(c);
             c.before = stat_of(c, "report.txt");
         },
         {"--restore", "report.txt"}, 3,
         "Restore failed: report.txt: Backup is damaged: its bytes differ from its record\nErrorLevel: 3\n",
         [](Case& c) {
             const struct stat after = stat_of(c, "report.txt");
             EXPECT_EQ(c.sandbox.read("report.txt"), current);
             EXPECT_TRUE(after.st_ino == c.before.st_ino && same(after.st_mtim, c.before.st_mtim));
             const std::vector<std::string> names = c.sandbox.backups();
             ASSERT_EQ(names.size(), 2U);
             EXPECT_EQ(c.sandbox.read("backup/" + names[0]), "an earlier version\n");
             EXPECT_EQ(c.sandbox.backups("backup/.tesrak.sha256").size(), 2U);
         }},
        // The folder as it is becomes a snapshot first, then the chosen one is put back.
        {"restore_of_a_folder", given({"dir.20261207.13052599/inner.txt"}, {"dir/inner.txt"}),
         {"--restore", "dir"}, 0, "",
         [](Case& c) {
             EXPECT_EQ(c.sandbox.read("dir/inner.txt"), "dir.20261207.13052599/inner.txt");
             const std::vector<std::string> names = c.sandbox.backups();
             ASSERT_EQ(names.size(), 2U);
             EXPECT_EQ(c.sandbox.read("backup/" + names[0] + "/inner.txt") +
                           c.sandbox.read("backup/" + names[1] + "/inner.txt"),
                       "dir.20261207.13052599/inner.txt" + current);
         }},

        // Another user's names in a shared backup folder are no backups: not
        // restored (by the owner, nor by root on a file of root's), not
        // counted by --keep, not removed.
        {"planted_backup_is_not_restored",
         [](Case& c) {
             shared_folder(c);
             planted(c, {"notes.20261201.10000000.txt"}, {"notes.20991231.23595999.txt"});
             made_by(c, "notes.txt", current, 0600, c.owner);
         },
         {"--restore", "notes.txt"}, 0, "",
         [](Case& c) {
             const struct stat file = stat_of(c, "notes.txt");
             EXPECT_EQ(c.sandbox.read("notes.txt"), "notes.20261201.10000000.txt");
             EXPECT_TRUE(file.st_uid == c.owner && (file.st_mode & 07777) == 0600)
                 << file.st_uid << " mode " << std::oct << (file.st_mode & 07777);
         }},
        {"planted_backup_is_not_restored_by_root",
         [](Case& c) {
             shared_folder(c);
             c.launcher.clear();
             planted(c, {}, {"notes.20991231.23595999.txt"});
             made_by(c, "backup/notes.20261201.10000000.txt", "root's backup", 0600, 0);
             made_by(c, "notes.txt", current, 0600, 0);
         },
         {"--restore", "notes.txt"}, 0, "",
         [](Case& c) {
             EXPECT_EQ(c.sandbox.read("notes.txt"), "root's backup");
             EXPECT_EQ(stat_of(c, "notes.txt").st_uid, 0U);
         }},
        // The kernel's rule in sticky folders: a link of nobody but the
        // runner or the folder's owner is not followed.
        {"planted_link_is_not_followed",
         [](Case& c) {
             shared_folder(c);
             planted(c, {"notes.20261201.10000000.txt"}, {});
             made_by(c, "private.cfg", "private\n", 0600, c.owner);
             fs::create_symlink("private.cfg", c.at("notes.txt"));
             ASSERT_EQ(lchown(c.at("notes.txt").c_str(), c.other, c.other), 0);
         },
         {"--restore", "notes.txt"}, 3, "Restore failed: notes.txt: Operation not permitted\nErrorLevel: 3\n",
         [](Case& c) {
             EXPECT_EQ(c.sandbox.read("private.cfg"), "private\n");
             EXPECT_EQ(stat_of(c, "private.cfg").st_mode & 07777, 0600U);
             EXPECT_EQ(c.sandbox.backups().size(), 1U);
         }},
        // Only root could have put another user's name into root's folder
        // that nobody else may write to: it counts.
        {"names_in_a_folder_nobody_else_writes_count",
         [](Case& c) {
             given({two[0], two[1]})(c);
             ASSERT_EQ(chmod(c.at("backup").c_str(), 0755), 0);
             give(c, "backup/" + two[1], 65534);
         },
         {"--list", "report.txt"}, 0, "backup/" + two[1] + "\nbackup/" + two[0] + "\n", left_alone},
        {"planted_names_do_not_push_out_real_backups",
         [](Case& c) {
             shared_folder(c);
             planted(c,
                     {"notes.20201201.10000000.txt", "notes.20201202.10000000.txt", "notes.20201203.10000000.txt",
                      "notes.20201204.10000000.txt"},
                     {"notes.20991231.10000001.txt", "notes.20991231.10000002.txt", "notes.20991231.10000003.txt"});
             made_by(c, "notes.txt", current, 0600, c.owner);
         },
         {"--keep=3", "-copy", "notes.txt"}, 0, "",
         [](Case& c) {
             const std::vector<std::string> names = c.sandbox.backups();
             EXPECT_EQ(names.size(), 6U);
             for (const char* name : {"notes.20201203.10000000.txt", "notes.20201204.10000000.txt",
                                      "notes.20991231.10000001.txt", "notes.20991231.10000002.txt",
                                      "notes.20991231.10000003.txt"}) {
                 EXPECT_TRUE(c.sandbox.exists("backup/"s + name)) << name;
             }
         }},
        // Another user's backup/ could be emptied by them: nothing goes in.
        {"foreign_backup_folder_is_refused",
         [](Case& c) {
             shared_folder(c);
             made_by(c, "thesis.txt", current, 0600, c.owner);
             fs::create_directory(c.at("backup"));
             ASSERT_EQ(chown(c.at("backup").c_str(), c.other, c.other), 0);
             ASSERT_EQ(chmod(c.at("backup").c_str(), 0777), 0);
         },
         {"thesis.txt"}, 3, "Backup failed: backup/thesis.{D}.{D}.txt: Operation not permitted\nErrorLevel: 3\n",
         [](Case& c) {
             EXPECT_EQ(c.sandbox.read("thesis.txt"), current);
             EXPECT_TRUE(c.sandbox.backups().empty());
         }},

        // The hour that repeats: a change of the backups long after they
        // were made leaves each in its stamp's hour.
        {"repeated_hour_list_after_a_change", autumn_changed_now, {"--list", "notes.txt"}, 0,
         "backup/" + autumn[2] + "\nbackup/" + autumn[1] + "\nbackup/" + autumn[0] + "\n", {}},
        {"repeated_hour_keep_two_after_a_change", autumn_changed_now, {"--keep=2", "-copy", "notes.txt"}, 0, "",
         [](Case& c) { expect_folder(c, {autumn[2]}, 1); }},
        {"repeated_hour_keep_three_after_a_change", autumn_changed_now, {"--keep=3", "-copy", "notes.txt"}, 0, "",
         [](Case& c) { expect_folder(c, {autumn[1], autumn[2]}, 1); }},
        {"repeated_hour_run_stays_in_its_hour", repeated_hour, {"--list", "notes.txt"}, 0, std::nullopt,
         [](Case& c) {
             EXPECT_EQ(listed_versions(c), "03:10 winter;notes.20261025.03050000.txt;02:30 summer;"
                                           "notes.20261025.01590000.txt;");
         }},

        // Names standing under the stamps a run comes to: it takes a later
        // one for all its files, whether it reads the folder once (many
        // files) or looks each name up (few).
        {"many_files_wait_out_names_standing", names_standing_at_the_start(20), numbered_files(20, {"-copy"}), 0, "",
         [](Case& c) { one_later_stamp_for_all(c, 20); }},
        {"few_files_wait_out_names_standing", names_standing_at_the_start(8), numbered_files(8, {"-copy"}), 0, "",
         [](Case& c) { one_later_stamp_for_all(c, 8); }},

        // One run at a time changes a backup folder.
        {"no_wait_finds_the_folder_in_use", folder_held(std::nullopt), {"--no-wait", "-copy", "report.txt"}, 12,
         "Backup folder in use: backup\nErrorLevel: 12\n", [](Case& c) { EXPECT_TRUE(c.sandbox.backups().empty()); }},
        {"a_run_waits_for_the_folder", folder_held(std::chrono::milliseconds(300)), {"--keep=1", "-copy", "report.txt"},
         0, "",
         [](Case& c) {
             const std::vector<std::string> names = c.sandbox.backups();
             ASSERT_EQ(names.size(), 1U);
             const struct stat made = stat_of(c, "backup/" + names[0]);
             EXPECT_GE(static_cast<std::int64_t>(made.st_ctim.tv_sec) * 1'000'000'000 + made.st_ctim.tv_nsec,
                       c.released.load()) << "made before the other run let go";
         }},
        {"moved_relative_link_comes_back_as_the_link", moved_link(false), {"--restore", "link"}, 0, "",
         link_back(false)},
        {"moved_absolute_link_comes_back_as_the_link", moved_link(true), {"--restore", "link"}, 0, "",
         link_back(true)},

        // The new backup and the newest earlier one remain; other files'
        // backups and names that are no backups are not touched.
        {"keep_two_with_a_copy", given({four[0], four[1], four[2], four[3], unrelated[0], unrelated[1], unrelated[2]}),
         {"--keep=2", "-copy", "report.txt"}, 0, "",
         [=](Case& c) { expect_folder(c, {unrelated[0], unrelated[1], four[3], unrelated[2]}, 1); }},
        // Earlier backups named in 2099 are newer than the one this run
        // makes, which its own run still never removes.
        {"keep_never_removes_the_backup_just_made",
         given({"report.20991231.10000001.txt", "report.20991231.10000002.txt", "report.20991231.10000003.txt",
                "report.20991231.10000004.txt"}),
         {"--keep=2", "-copy", "report.txt"}, 0, "",
         [](Case& c) { expect_folder(c, {"report.20991231.10000003.txt", "report.20991231.10000004.txt"}, 1); }},
        {"keep_with_a_move", given({four[0], four[1], four[2], unrelated[0]}), {"--keep=1", "report.txt"}, 0, "",
         [=](Case& c) {
             expect_folder(c, {unrelated[0]}, 1);
             EXPECT_FALSE(c.sandbox.exists("report.txt"));
         }},
        // Calendar rules with the newest N: the newest of each day, and the
        // oldest where fewer days than asked have a backup.
        {"dry_run_keep_daily_and_last",
         given({"report.20201201.10000000.txt", "report.20201201.20000000.txt", "report.20201202.08000000.txt",
                "report.20201202.09000000.txt", "report.20201203.10000000.txt"}),
         {"--dry-run", "--keep-daily=5", "--keep=2", "-copy", "report.txt"}, 0,
         "+ backup/report.{D}.{D}.txt\n= backup/report.20201203.10000000.txt (last 2, daily 2)\n"
         "= backup/report.20201202.09000000.txt (daily 3)\n= backup/report.20201201.20000000.txt (daily 4)\n"
         "= backup/report.20201201.10000000.txt (daily 4)\n- backup/report.20201202.08000000.txt (frees {T}\n"
         "frees {T}\n", {}},
        // Within 3 days of the newest backup (named in 2099), not of now.
        {"keep_within_the_newest_backup",
         given({"report.20991201.10000000.txt", "report.20991204.10000000.txt", "report.20991206.10000000.txt"}),
         {"--keep-within=3d", "report.txt"}, 0, "",
         [](Case& c) { expect_folder(c, {"report.20991204.10000000.txt", "report.20991206.10000000.txt"}, 1); }},
        {"keep_within_bad_unit", report, {"--keep-within=3x", "-copy", "report.txt"}, 10,
         "Invalid choice for the --keep-within option: 3x\nErrorLevel: 10\n", made_nothing},
        {"keep_daily_zero", report, {"--keep-daily=0", "-copy", "report.txt"}, 10,
         "Invalid choice for the --keep-daily option: 0\nErrorLevel: 10\n", made_nothing},
        {"keep_weekly_with_list", given(two), {"--list", "--keep-weekly=2", "report.txt"}, 7,
         "Invalid option: --keep-weekly=2\nErrorLevel: 7\n", left_alone},
        {"keep_zero", report, {"--keep=0", "-copy", "report.txt"}, 10, keep_refused + "0\nErrorLevel: 10\n",
         made_nothing},
        {"keep_letter_with_a_move", report, {"--keep=x", "report.txt"}, 10, keep_refused + "x\nErrorLevel: 10\n",
         made_nothing},
        {"keep_empty", report, {"-copy", "report.txt", "--keep="}, 10, keep_refused + "\nErrorLevel: 10\n",
         made_nothing},

        {"if_changed_unchanged", newest_is(current, 0644, 0), if_changed, 0, "", copies(0)},
        {"if_changed_content", newest_is("an earlier version\n", 0644, 0), if_changed, 0, "", copies(1)},
        {"if_changed_mode", newest_is(current, 0600, 0), if_changed, 0, "", copies(1)},
        // The file is another user's; the newest backup, root's, counts but differs in owner.
        {"if_changed_owner",
         [](Case& c) {
             newest_is(current, 0644, 0)(c);
             give(c, "report.txt", 65534);
             give(c, "backup/" + older_newest[0], 65534);
         },
         if_changed, 0, "", copies(1)},
        {"if_changed_with_a_move", report, {"--if-changed", "report.txt"}, 7,
         "Invalid option: --if-changed\nErrorLevel: 7\n", made_nothing},

        {"dry_run_copy", given({}, {"report.txt", "conf/app.yml"}),
         {"--dry-run", "-copy", "report.txt", "conf/app.yml"}, 0,
         "+ backup/report.{D}.{D}.txt\n+ backup/conf/app.{D}.{D}.yml\n", made_nothing},
        // What --keep removes comes after the backup it makes, oldest first.
        {"dry_run_keep", given({four[0], four[1], four[2]}), {"--dry-run", "--keep=2", "-copy", "report.txt"}, 0,
         "+ backup/report.{D}.{D}.txt\n= backup/" + four[2] + " (last 2)\n- backup/" + four[0] + " (frees {T}\n- backup/" +
             four[1] + " (frees {T}\nfrees {T}\n",
         [=](Case& c) { expect_folder(c, {four[0], four[1], four[2]}, 0); }},
        {"dry_run_restore_of_a_changed_file", given(two), {"--dry-run", "--restore", "report.txt"}, 0,
         "+ backup/report.{D}.{D}.txt\n+ report.txt\n", left_alone},

        {"no_share_with_a_move", report, {"--no-share", "report.txt"}, 7,
         "Invalid option: --no-share\nErrorLevel: 7\n", made_nothing},
        {"null_without_list", report, {"--null", "-copy", "report.txt"}, 7,
         "Invalid option: --null\nErrorLevel: 7\n", made_nothing},
        {"null_with_json", given(two), {"--list", "--json", "--null", "report.txt"}, 7,
         "Invalid option: --null\nErrorLevel: 7\n", left_alone},
        {"json_with_a_backup_run", report, {"--json", "-copy", "report.txt"}, 7,
         "Invalid option: --json\nErrorLevel: 7\n", made_nothing},
        {"exclude_with_a_move", report, {"--exclude=*.o", "report.txt"}, 7,
         "Invalid option: --exclude=*.o\nErrorLevel: 7\n", made_nothing},
        {"exclude_of_slashes_alone", report, {"--exclude=//", "-copy", "report.txt"}, 7,
         "Invalid option: --exclude=//\nErrorLevel: 7\n", made_nothing},
        {"diff_with_list", given(two), {"--diff", "--list", "report.txt"}, 7,
         "Invalid option: --list\nErrorLevel: 7\n", left_alone},
        {"diff_with_keep", given(two), {"--diff", "--keep=1", "report.txt"}, 7,
         "Invalid option: --keep=1\nErrorLevel: 7\n", left_alone},
        {"at_without_restore", report, {"-copy", "--at=20261201", "report.txt"}, 7,
         "Invalid option: --at=20261201\nErrorLevel: 7\n", made_nothing},
        {"at_neither_8_nor_16_digits", given(two), {"--restore", "--at=123", "report.txt"}, 11,
         "Invalid choice for the --at option: 123\nErrorLevel: 11\n", left_alone},
        {"at_month_13", given(two), {"--restore", "--at=20261399", "report.txt"}, 11,
         "Invalid choice for the --at option: 20261399\nErrorLevel: 11\n", left_alone},
        {"at_hour_99", given(two), {"--restore", "--at=2026120899999999", "report.txt"}, 11,
         "Invalid choice for the --at option: 2026120899999999\nErrorLevel: 11\n", left_alone},
    };
}

class History : public testing::TestWithParam<Row> {};

TEST_P(History, Row) {
    const Row& row = GetParam();
    Case c;
    row.setup(c);
    if (IsSkipped() || HasFatalFailure()) return;
    c.result = run_tesrak_via(c.launcher, row.arguments, c.sandbox.path());
    EXPECT_EQ(c.result.exit_code, row.status) << c.result.printed();
    if (row.output) {
        EXPECT_TRUE(matches(*row.output, c.result.printed())) << c.result.printed();
    }
    // Messages and the status line go to standard error alone, in lines that
    // end with a line feed: standard output carries only data.
    const std::string status_line = "ErrorLevel: " + std::to_string(row.status) + "\n";
    EXPECT_EQ(c.result.errors.ends_with(status_line), row.status != 0) << c.result.errors;
    EXPECT_EQ(c.result.output.find("ErrorLevel"), std::string::npos) << c.result.output;
    EXPECT_EQ(c.result.printed().find('\r'), std::string::npos);
    if (row.check) row.check(c);
}

INSTANTIATE_TEST_SUITE_P(PosixHistory, History, testing::ValuesIn(rows()),
                         [](const testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

}  // namespace
