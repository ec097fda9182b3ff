// POSIX only: a folder copied as a snapshot of its whole tree, end to end:
// entry by entry the same as the original, named in one step, and put to use
// by --list, --keep, --restore and --if-changed.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/loop_image.h"
#include "support/sandbox.h"
#include "support/spawn.h"

namespace {

namespace fs = std::filesystem;

std::string bytes_of(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Every entry below a folder, a line each in name order: kind and mode,
// owner, size and modification time, the link's destination or the file's
// bytes, its extended attributes (ACLs among them), and which earlier entry
// it is a hard link of. A folder of another file system counts as empty.
std::string describe(const fs::path& top) {
    std::ostringstream lines;
    std::map<ino_t, std::string> first_names;
    struct stat top_status {};
    lstat(top.c_str(), &top_status);
    std::function<void(const fs::path&, const std::string&)> walk = [&](const fs::path& path,
                                                                       const std::string& name) {
        struct stat s {};
        if (lstat(path.c_str(), &s) != 0) {
            lines << name << " missing\n";
            return;
        }
        lines << name << ' ' << std::oct << s.st_mode << std::dec << ' ' << s.st_uid << ':' << s.st_gid << ' '
              << (S_ISDIR(s.st_mode) ? 0 : s.st_size) << ' ' << s.st_mtim.tv_sec << '.' << s.st_mtim.tv_nsec;
        if (S_ISLNK(s.st_mode)) lines << " -> " << fs::read_symlink(path).string();
        if (S_ISREG(s.st_mode)) lines << " bytes " << std::hash<std::string>{}(bytes_of(path));
        if (S_ISCHR(s.st_mode) || S_ISBLK(s.st_mode)) lines << " device " << s.st_rdev;
        if (s.st_nlink > 1 && !S_ISDIR(s.st_mode) && !first_names.emplace(s.st_ino, name).second) {
            lines << " same as " << first_names[s.st_ino];
        }
        std::string names(65536, '\0');
        names.resize(static_cast<std::size_t>(std::max<ssize_t>(0, llistxattr(path.c_str(), names.data(), names.size()))));
        for (std::size_t at = 0; at < names.size(); at += std::strlen(&names[at]) + 1) {
            std::string value(65536, '\0');
            value.resize(static_cast<std::size_t>(lgetxattr(path.c_str(), &names[at], value.data(), value.size())));
            lines << ' ' << &names[at] << '=' << std::hash<std::string>{}(value);
        }
        lines << '\n';
        if (!S_ISDIR(s.st_mode) || s.st_dev != top_status.st_dev) return;
        std::vector<std::string> children;
        for (const fs::directory_entry& entry : fs::directory_iterator(path)) {
            children.push_back(entry.path().filename().string());
        }
        std::sort(children.begin(), children.end());
        for (const std::string& child : children) walk(path / child, name + '/' + child);
    };
    walk(top, ".");
    return lines.str();
}

void shell(const Sandbox& sandbox, const std::string& commands) {
    ASSERT_EQ(std::system(("cd '" + sandbox.path().string() + "' && " + commands).c_str()), 0) << commands;
}

// A tree with each kind of entry a folder can hold. The link out of the tree
// points at a file that must be neither read nor written.
const std::string every_kind =
    "mkdir -p tree/conf/deep/er outside && echo secret > outside/secret && "
    "echo one > tree/conf/a.conf && printf 'two' > tree/conf/deep/er/b && "
    "truncate -s 8M tree/sparse && echo middle | dd of=tree/sparse bs=1 seek=4M conv=notrunc status=none && "
    "ln tree/conf/a.conf tree/conf/deep/hard && ln -s a.conf tree/conf/link && "
    "ln -s ../outside/secret tree/out && ln -s ../outside tree/out_folder && mkfifo tree/fifo && "
    "python3 -c \"import socket; socket.socket(socket.AF_UNIX).bind('tree/socket')\" && "
    "setfacl -m u:nobody:rw tree/conf/a.conf && setfacl -d -m u:nobody:rx tree/conf && "
    "setfattr -n user.note -v kept tree/conf/deep/er/b && chmod 0750 tree/conf/deep && "
    "chmod 1777 tree/conf/deep/er && chown -h nobody tree/conf/link && "
    "touch -h -d 2020-02-02 tree/conf/link && touch -d 2020-01-01 tree/conf tree/conf/deep tree";

// A mounted file system inside the tree, where the test may mount one; its
// contents stay out of the snapshot.
struct MountedInside {
    fs::path at;
    bool mounted = false;
    explicit MountedInside(fs::path folder) : at(std::move(folder)) {
        fs::create_directory(at);
        mounted = mount("tmpfs", at.c_str(), "tmpfs", 0, "size=1m") == 0;
        if (mounted) std::ofstream(at / "inside") << "on another file system\n";
    }
    ~MountedInside() {
        if (mounted) umount2(at.c_str(), MNT_DETACH);
    }
};

std::vector<std::string> temporaries(const Sandbox& sandbox) {
    std::vector<std::string> found;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(sandbox.path() / "backup")) {
        if (entry.path().filename().string().starts_with(".tesrak-")) found.push_back(entry.path());
    }
    return found;
}

struct Row {
    const char* name;
    std::string before;  // shell commands in the sandbox
    std::vector<std::vector<std::string>> runs;  // the last one's status and output are checked
    int exit_code;
    std::string output;  // a pattern for matches()
    std::function<void(const Sandbox&)> check;
    // Faults strace injects into every run (its -e inject=), for a file
    // system that lacks a call.
    std::vector<std::string> faults = {};
    // Whether the sandbox's "xfs" leads to a file system that shares blocks
    // (XFS with reflinks).
    bool shares_blocks = false;
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

const std::string old_snapshots =
    "mkdir -p tree backup/tree.20200101.00000000 backup/tree.20200102.00000000 && echo now > tree/f && "
    "echo old > backup/tree.20200101.00000000/f && echo older > backup/tree.20200102.00000000/f && "
    "touch -d 2020-01-01 backup/tree.20200101.00000000 && touch -d 2020-01-02 backup/tree.20200102.00000000";

// An earlier snapshot under today's name, and under tomorrow's for a run at
// midnight.
const std::string same_date_snapshots =
    "mkdir -p tree backup && echo new > tree/f && for day in today tomorrow; do "
    "mkdir backup/tree.$(date -d $day +%Y%m%d) && echo old > backup/tree.$(date -d $day +%Y%m%d)/f; done";

// The snapshot of the run's date holds the tree; the other one stays.
void check_one_replaced(const Sandbox& s) {
    const std::vector<std::string> names = s.backups();
    ASSERT_EQ(names.size(), 2U);
    const std::size_t replaced = describe(s.path() / "backup" / names[0]) == describe(s.path() / "tree") ? 0 : 1;
    EXPECT_EQ(describe(s.path() / "backup" / names[replaced]), describe(s.path() / "tree"));
    EXPECT_EQ(s.read("backup/" + names[1 - replaced] + "/f"), "old\n");
    EXPECT_TRUE(temporaries(s).empty());
}

// The tree restored from the oldest of old_snapshots, its state before kept
// in a new snapshot.
void check_restored_oldest(const Sandbox& s) {
    EXPECT_EQ(describe(s.path() / "tree"), describe(s.path() / "backup/tree.20200101.00000000"));
    const std::vector<std::string> names = s.backups();
    ASSERT_EQ(names.size(), 3U);
    EXPECT_EQ(s.read("backup/" + names[2] + "/more/y"), "x\n");
    EXPECT_TRUE(temporaries(s).empty());
}

// The one snapshot in backup/, and its tree's description.
std::string only_snapshot(const Sandbox& sandbox) {
    const std::vector<std::string> names = sandbox.backups();
    EXPECT_EQ(names.size(), 1U);
    return names.empty() ? "" : describe(sandbox.path() / "backup" / names.back());
}

struct stat status_of(const fs::path& path) {
    struct stat s {};
    lstat(path.c_str(), &s);
    return s;
}

ino_t inode_of(const fs::path& path) { return status_of(path).st_ino; }

std::string attribute_of(const fs::path& path, const char* name) {
    std::string value(256, '\0');
    const ssize_t size = lgetxattr(path.c_str(), name, value.data(), value.size());
    value.resize(static_cast<std::size_t>(std::max<ssize_t>(0, size)));
    return value;
}

// Two snapshots, the newer one the tree as it is, and an entry of them one
// file in both or two.
void check_shared(const Sandbox& s, const std::string& entry, bool shared) {
    const std::vector<std::string> names = s.backups();
    ASSERT_EQ(names.size(), 2U);
    const fs::path older = s.path() / "backup" / names[0];
    const fs::path newer = s.path() / "backup" / names[1];
    EXPECT_EQ(describe(newer), describe(s.path() / "tree"));
    EXPECT_NE(inode_of(newer / entry), 0U) << entry;
    EXPECT_EQ(inode_of(older / entry) == inode_of(newer / entry), shared) << entry;
}

// A tree snapshot once, changed by the commands, and snapshot again.
std::vector<std::vector<std::string>> snapshot_around(const std::string& change) {
    return {{"-copy", "tree"}, {"sh", "-c", change}, {"-copy", "tree"}};
}

// An earlier snapshot made by hand, under a stamp that says it began after
// every change to the tree (so that no byte of the tree is read again).
const std::string later_snapshot = "mkdir -p tree/d && echo one > tree/f && echo two > tree/d/g && mkdir backup && "
                                   "cp -a tree backup/tree.20991231.00000000 && cd backup/tree.20991231.00000000";

// The snapshot just made and the one made by hand.
void check_shared_with_later(const Sandbox& s, const std::vector<std::pair<std::string, bool>>& entries) {
    const std::vector<std::string> names = s.backups();
    ASSERT_EQ(names.size(), 2U);
    const fs::path made = s.path() / "backup" / names[0];
    EXPECT_EQ(describe(made), describe(s.path() / "tree"));
    for (const auto& [entry, shared] : entries) {
        EXPECT_EQ(inode_of(made / entry) == inode_of(s.path() / "backup" / names[1] / entry), shared) << entry;
    }
}

// A folder with f, which is edited between two snapshots, and same, which
// is not. Their change times lie well before the first snapshot, so that a
// rule that trusts an old change time would take the earlier f.
const std::string edited_later = "mkdir tree && echo one > tree/f && echo same > tree/same && sleep 0.05";

// Other bytes of f's size, with its modification time put back.
const std::string same_size_edit = "touch -r tree/f time.ref && echo two > tree/f && touch -r time.ref tree/f";

// Two snapshots, whichever name sorts first: one is the source as it is,
// its f a copy of its own; the other still holds f's first bytes; same is
// one file in both.
void check_edit_copied(const Sandbox& s, const std::string& source) {
    const std::vector<std::string> names = s.backups();
    ASSERT_EQ(names.size(), 2U);
    const std::string now = describe(s.path() / source);
    const bool second = describe(s.path() / "backup" / names[1]) == now;
    EXPECT_TRUE(second || describe(s.path() / "backup" / names[0]) == now) << "no snapshot holds " << source;
    const fs::path made = s.path() / "backup" / names[second ? 1 : 0];
    const fs::path other = s.path() / "backup" / names[second ? 0 : 1];
    EXPECT_EQ(bytes_of(other / "f"), "one\n");
    EXPECT_NE(inode_of(made / "f"), inode_of(other / "f"));
    EXPECT_EQ(inode_of(made / "same"), inode_of(other / "same"));
}

// Runs the program in a shell step: its path for the commands.
const std::string tesrak = std::string("'") + TESRAK_EXE + "'";

// What Python's json module reads from each line the commands print, written
// to json.out: each object's members, its path as the bytes that
// surrogateescape gives back, and whether its time is an ISO 8601 one.
std::string read_json(const std::string& commands) {
    return commands + " | python3 -c '"
                      "import json, sys, datetime\n"
                      "for line in sys.stdin.buffer.read().decode().splitlines():\n"
                      "    o = json.loads(line)\n"
                      "    if \"path\" in o: o[\"path\"] = o[\"path\"].encode(\"utf-8\", \"surrogateescape\")\n"
                      "    if \"time\" in o: o[\"time\"] = datetime.datetime.fromisoformat(o[\"time\"]).year\n"
                      "    if \"stamp\" in o: o[\"stamp\"] = len(o[\"stamp\"])\n"
                      "    o.pop(\"backup\", None)\n"
                      "    print(sorted(o.items()))' > json.out";
}

// The entries of the one snapshot, a path a line.
std::string snapshot_paths(const Sandbox& s) {
    const std::vector<std::string> names = s.backups();
    if (names.size() != 1) return "snapshots: " + std::to_string(names.size());
    std::vector<std::string> paths;
    const fs::path top = s.path() / "backup" / names.front();
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(top)) {
        paths.push_back(fs::relative(entry.path(), top).string());
    }
    std::sort(paths.begin(), paths.end());
    std::string lines;
    for (const std::string& path : paths) lines += path + '\n';
    return lines;
}

// A tree with entries for each kind of pattern, and a cache folder.
const std::string patterned =
    "mkdir -p tree/src/sub tree/build tree/docs tree/deep/x/gen tree/cache tree/fake && echo 1 > tree/a.o && "
    "echo 1 > tree/src/b.o && echo 1 > tree/src/c.c && echo 1 > tree/src/sub/d.c && echo 1 > tree/build/x && "
    "echo 1 > tree/docs/build && echo 1 > tree/deep/x/gen/y.txt && echo 1 > tree/deep/y.txt && "
    "printf 'Signature: 8a477f597d28d172789f06886806bc55\\n' > tree/cache/CACHEDIR.TAG && echo 1 > tree/cache/z && "
    "echo 'Signature: not a cache' > tree/fake/CACHEDIR.TAG";

std::vector<Row> rows() {
    return {
        {"every_kind_of_entry", every_kind, {{"-copy", "tree"}}, 0, "",
         [](const Sandbox& s) {
             EXPECT_EQ(only_snapshot(s), describe(s.path() / "tree"));
             EXPECT_TRUE(temporaries(s).empty());
             EXPECT_EQ(s.read("outside/secret"), "secret\n");
         }},
        {"same_stamp_replaces_the_earlier_snapshot", "mkdir tree && echo first > tree/f",
         {{"-copy", "-unique=date", "tree"}, {"-copy", "-unique=date", "tree"}}, 0, "",
         [](const Sandbox& s) {
             EXPECT_EQ(only_snapshot(s), describe(s.path() / "tree"));
             EXPECT_TRUE(temporaries(s).empty());
         }},
        {"list_takes_snapshots_newest_first", old_snapshots + " && echo file > backup/tree.20200103.00000000",
         {{"--list", "tree"}}, 0, "backup/tree.20200102.00000000\nbackup/tree.20200101.00000000\n", nullptr},
        {"keep_removes_whole_trees", old_snapshots, {{"--keep=2", "-copy", "tree"}}, 0, "",
         [](const Sandbox& s) {
             const std::vector<std::string> names = s.backups();
             ASSERT_EQ(names.size(), 2U);
             EXPECT_EQ(names[0], "tree.20200102.00000000");
             EXPECT_EQ(s.read("backup/" + names[1] + "/f"), "now\n");
         }},
        {"restore_exchanges_the_trees", old_snapshots + " && mkdir tree/more && echo x > tree/more/y",
         {{"--restore", "--at=20200101", "tree"}}, 0, "", check_restored_oldest},
        // Where two entries cannot be exchanged in one step (sshfs, exFAT),
        // the earlier one is renamed aside.
        {"restore_renames_aside_without_exchange", old_snapshots + " && mkdir tree/more && echo x > tree/more/y",
         {{"--restore", "--at=20200101", "tree"}}, 0, "", check_restored_oldest, {"renameat2:error=EINVAL"}},
        {"replaces_by_renames_without_exchange", same_date_snapshots, {{"-copy", "-unique=date", "tree"}}, 0, "",
         check_one_replaced, {"renameat2:error=EINVAL"}},
        // The third rename, of the new tree to the earlier one's name, fails:
        // the earlier snapshot takes its name back.
        {"a_failed_rename_puts_the_earlier_snapshot_back", same_date_snapshots, {{"-copy", "-unique=date", "tree"}}, 3,
         "Backup failed: backup/tree.{D}: Input/output error\nErrorLevel: 3\n",
         [](const Sandbox& s) {
             const std::vector<std::string> names = s.backups();
             EXPECT_EQ(names.size(), 2U);
             for (const std::string& name : names) {
                 EXPECT_EQ(s.read("backup/" + name + "/f"), "old\n") << name;
                 EXPECT_EQ(std::distance(fs::directory_iterator(s.path() / "backup" / name), {}), 1) << name;
             }
             EXPECT_TRUE(temporaries(s).empty());
         },
         {"renameat2:error=EINVAL", "renameat:error=EIO:when=3"}},
        {"if_changed_leaves_out_an_equal_tree", every_kind,
         {{"-copy", "tree"}, {"-copy", "--if-changed", "tree"}}, 0, "",
         [](const Sandbox& s) { only_snapshot(s); }},
        {"if_changed_copies_a_changed_tree", "mkdir -p tree/a && echo 1 > tree/a/f",
         {{"-copy", "tree"}, {"sh", "-c", "chmod 0700 tree/a"}, {"-copy", "--if-changed", "tree"}}, 0, "",
         [](const Sandbox& s) { EXPECT_EQ(s.backups().size(), 2U); }},
        // Each name of a file with two stays one file with the earlier snapshot's.
        {"unchanged_files_are_shared",
         "mkdir -p tree/d && echo one > tree/a && echo two > tree/d/b && ln tree/a tree/d/hard && "
         "setfattr -n user.note -v kept tree/d/b && setfacl -m u:nobody:r tree/a",
         {{"-copy", "tree"}, {"-copy", "tree"}}, 0, "",
         [](const Sandbox& s) {
             for (const char* entry : {"a", "d/b", "d/hard"}) check_shared(s, entry, true);
             EXPECT_TRUE(temporaries(s).empty());
         }},
        {"content_put_back_to_its_size_and_time_is_copied",
         "mkdir tree && echo one > tree/f && touch -d 2020-01-01 tree/f",
         snapshot_around("echo two > tree/f && touch -d 2020-01-01 tree/f"), 0, "",
         [](const Sandbox& s) {
             check_shared(s, "f", false);
             EXPECT_EQ(s.read("backup/" + s.backups()[0] + "/f"), "one\n");
         }},
        {"a_changed_mode_is_copied", "mkdir tree && echo one > tree/f && chmod 0644 tree/f",
         snapshot_around("chmod 0600 tree/f"), 0, "",
         [](const Sandbox& s) {
             check_shared(s, "f", false);
             EXPECT_EQ(fs::status(s.path() / "backup" / s.backups()[0] / "f").permissions(),
                       fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
         }},
        {"a_changed_attribute_is_copied", "mkdir tree && echo one > tree/f && setfattr -n user.note -v one tree/f",
         snapshot_around("setfattr -n user.note -v two tree/f"), 0, "",
         [](const Sandbox& s) {
             check_shared(s, "f", false);
             EXPECT_EQ(attribute_of(s.path() / "backup" / s.backups()[0] / "f", "user.note"), "one");
         }},
        // The earlier snapshot's f is given other bytes with its size and
        // times, and changed once more until its change time is past that of
        // the snapshot's top folder.
        {"an_earlier_file_changed_since_its_snapshot_is_copied",
         later_snapshot + " && printf 'bad\\n' > f && touch -r ../../tree/f f && "
                          "while [ \"$(stat -c %z f)\" = \"$(stat -c %z .)\" ]; do touch -r ../../tree/f f; done",
         {{"-copy", "tree"}}, 0, "",
         [](const Sandbox& s) { check_shared_with_later(s, {{"f", false}, {"d/g", true}}); }},
        {"a_link_in_the_earlier_snapshot_is_not_followed", later_snapshot + " && mv d e && ln -s e d",
         {{"-copy", "tree"}}, 0, "",
         [](const Sandbox& s) { check_shared_with_later(s, {{"f", true}, {"d/g", false}}); }},
        // The live file is never linked into a snapshot, even where the
        // earlier one's top folder changed after it.
        {"a_file_that_is_the_earlier_snapshots_is_copied",
         later_snapshot + " && ln -f f ../../tree/f && chmod u+w .", {{"-copy", "tree"}}, 0, "",
         [](const Sandbox& s) {
             check_shared_with_later(s, {{"f", false}, {"d/g", true}});
             EXPECT_EQ(status_of(s.path() / "tree/f").st_nlink, 2U);
         }},
        {"no_share_copies_every_file", "mkdir tree && echo one > tree/f",
         {{"-copy", "tree"}, {"-copy", "--no-share", "tree"}}, 0, "",
         [](const Sandbox& s) { check_shared(s, "f", false); }},
        // A deployment points cur at another release whose f has the size
        // and times of the first one's, but other bytes; same is one file
        // in both releases, both made well before the first snapshot.
        {"a_link_moved_to_another_release_is_copied",
         "mkdir r1 r2 && echo one > r1/f && echo two > r2/f && touch -r r1/f r2/f && echo same > r1/same && "
         "ln r1/same r2/same && ln -s r1 cur && sleep 0.05",
         {{"-copy", "cur"}, {"sh", "-c", "ln -sfn r2 cur"}, {"-copy", "cur"}}, 0, "",
         [](const Sandbox& s) { check_edit_copied(s, "r2"); }},
        {"an_edit_given_back_its_size_and_time_is_copied", edited_later, snapshot_around(same_size_edit), 0, "",
         [](const Sandbox& s) { check_edit_copied(s, "tree"); }},
        // Stamps are local times: read in the other zone, the earlier
        // snapshot seems to begin an hour or two off.
        {"an_edit_between_runs_in_two_zones_is_copied", edited_later,
         {{"sh", "-c", "TZ=Europe/Berlin " + tesrak + " -copy tree"},
          {"sh", "-c", same_size_edit},
          {"sh", "-c", "TZ=UTC " + tesrak + " -copy tree"}},
         0, "", [](const Sandbox& s) { check_edit_copied(s, "tree"); }},
        {"an_edit_between_runs_in_two_zones_the_other_way_is_copied", edited_later,
         {{"sh", "-c", "TZ=UTC " + tesrak + " -copy tree"},
          {"sh", "-c", same_size_edit},
          {"sh", "-c", "TZ=Europe/Berlin " + tesrak + " -copy tree"}},
         0, "", [](const Sandbox& s) { check_edit_copied(s, "tree"); }},
        {"an_edit_after_a_snapshot_that_shares_nothing_is_copied", edited_later,
         {{"-copy", "--no-share", "tree"}, {"sh", "-c", same_size_edit}, {"-copy", "tree"}}, 0, "",
         [](const Sandbox& s) { check_edit_copied(s, "tree"); }},
        // The earlier file, changed since its snapshot, is compared byte by
        // byte: that read must not give it a new access time.
        {"comparing_leaves_the_earlier_access_time", "mkdir tree && echo one > tree/f",
         snapshot_around("touch -a -d 2020-01-01 backup/tree.*/f"), 0, "",
         [](const Sandbox& s) {
             // Before describe() reads it.
             EXPECT_LT(status_of(s.path() / "backup" / s.backups()[0] / "f").st_atim.tv_sec, 1600000000);
             check_shared(s, "f", true);
         }},
        // Where the earlier file has as many names as it may have.
        {"a_file_that_cannot_take_another_name_is_copied", "mkdir tree && echo one > tree/f",
         {{"-copy", "tree"}, {"-copy", "tree"}}, 0, "",
         [](const Sandbox& s) { check_shared(s, "f", false); }, {"linkat:error=EMLINK"}},
        {"keep_leaves_the_newer_snapshot_whole", "mkdir -p tree/d && echo one > tree/a && echo two > tree/d/b",
         {{"-copy", "tree"}, {"-copy", "--keep=1", "tree"}}, 0, "",
         [](const Sandbox& s) {
             EXPECT_EQ(only_snapshot(s), describe(s.path() / "tree"));
             EXPECT_EQ(status_of(s.path() / "backup" / s.backups()[0] / "d/b").st_nlink, 1U);
         }},
        // Two names of one file were parted since, each alike to the earlier
        // file: only one of them may become it, else the snapshot would join
        // what the tree holds apart.
        {"names_parted_since_stay_apart", "mkdir tree && echo one > tree/a && ln tree/a tree/b",
         {{"-copy", "tree"}, {"sh", "-c", "cp -p tree/a tree/b.new && mv tree/b.new tree/b"}, {"-copy", "tree"}}, 0,
         "",
         [](const Sandbox& s) {
             const fs::path newest = s.path() / "backup" / s.backups().back();
             EXPECT_NE(status_of(newest / "a").st_ino, status_of(newest / "b").st_ino);
         }},
        // --keep removing the snapshot that the newer one shares with changes
        // the shared files' change time: the next snapshot compares their
        // bytes and shares them all the same.
        {"a_snapshot_after_keep_shares_again", "mkdir -p tree/d && echo one > tree/a && echo two > tree/d/b",
         {{"-copy", "tree"}, {"-copy", "--keep=1", "tree"}, {"-copy", "tree"}}, 0, "",
         [](const Sandbox& s) {
             for (const char* entry : {"a", "d/b"}) check_shared(s, entry, true);
         }},
        {"a_restored_tree_shares_nothing_with_the_backup",
         "mkdir -p tree/d && echo one > tree/a && echo two > tree/d/b",
         {{"-copy", "tree"}, {"-copy", "tree"}, {"sh", "-c", "echo three > tree/a"}, {"--restore", "tree"}}, 0, "",
         [](const Sandbox& s) {
             EXPECT_EQ(s.read("tree/a"), "one\n");
             EXPECT_EQ(s.read("tree/d/b"), "two\n");
             EXPECT_EQ(status_of(s.path() / "tree/a").st_nlink, 1U);
             EXPECT_EQ(status_of(s.path() / "tree/d/b").st_nlink, 1U);
         }},
        // One file of the snapshot differs from its record: the restore
        // stops before the tree or backup/ is changed.
        {"restore_from_a_damaged_snapshot_changes_nothing",
         "mkdir -p tree/d && echo one > tree/a && echo two > tree/d/b",
         {{"-copy", "tree"},
          {"sh", "-c",
           "printf X | dd of=\"$(echo backup/tree.*)/d/b\" bs=1 conv=notrunc status=none && echo three > tree/a && "
           "cp -a tree before"},
          {"--restore", "tree"}},
         3, "Restore failed: tree: Backup is damaged: its bytes differ from its record\nErrorLevel: 3\n",
         [](const Sandbox& s) {
             EXPECT_EQ(describe(s.path() / "tree"), describe(s.path() / "before"));
             EXPECT_EQ(s.backups().size(), 1U);
             EXPECT_EQ(s.backups("backup/.tesrak.sha256").size(), 1U);
             EXPECT_TRUE(temporaries(s).empty());
         }},
        // Copies that share blocks take no room, and stay files of their own.
        {"files_are_not_linked_where_copies_share_blocks",
         "mkdir xfs/tree xfs/backup && echo one > xfs/tree/f && ln -s xfs/backup backup",
         {{"-copy", "xfs/tree"}, {"-copy", "xfs/tree"}}, 0, "",
         [](const Sandbox& s) {
             const std::vector<std::string> names = s.backups("backup/xfs");
             ASSERT_EQ(names.size(), 2U);
             const fs::path folder = s.path() / "backup/xfs";
             EXPECT_NE(inode_of(folder / names[0] / "f"), inode_of(folder / names[1] / "f"));
             EXPECT_EQ(bytes_of(folder / names[1] / "f"), "one\n");
         },
         {}, true},
        // --diff: a file by diff -u from its backup, a folder a line an entry.
        {"diff_of_an_equal_file", "echo one > f", {{"-copy", "f"}, {"--diff", "f"}}, 0, "", nullptr},
        {"diff_of_a_changed_file", "echo one > f", {{"-copy", "f"}, {"sh", "-c", "echo two >> f"}, {"--diff", "f"}}, 1,
         "--- backup/f.{D}.{D}{T}\n+++ f{T}\n@@ -1 +1,2 @@\n one\n+two\n", nullptr},
        {"diff_of_a_binary_file", "printf 'a\\0b' > f", {{"-copy", "f"}, {"sh", "-c", "printf 'a\\0c' > f"}, {"--diff", "f"}},
         1, "Binary files backup/f.{D}.{D} and f differ\n", nullptr},
        {"diff_at_an_earlier_backup",
         "mkdir backup && echo old > backup/f.20200101.00000000 && echo new > backup/f.20200102.00000000 && echo new > f",
         {{"--diff", "--at=20200101", "f"}}, 1, "--- backup/f.20200101.00000000{T}\n+++ f{T}\n@@ -1 +1 @@\n-old\n+new\n",
         nullptr},
        {"diff_with_the_newest_backup", "mkdir backup && echo old > backup/f.20200101.00000000 && "
                                        "echo new > backup/f.20200102.00000000 && echo new > f",
         {{"--diff", "f"}}, 0, "", nullptr},
        {"diff_without_a_backup", "echo new > f", {{"--diff", "f"}}, 2, "No backup of: f\nErrorLevel: 2\n", nullptr},
        {"diff_of_a_changed_folder",
         "mkdir -p tree/d && echo 1 > tree/a && echo 2 > tree/d/b && echo 3 > tree/gone && ln -s a tree/link",
         {{"-copy", "tree"},
          {"sh", "-c", "echo 9 > tree/a && rm tree/gone && echo 4 > tree/new && chmod 0700 tree/d && ln -sfn d/b tree/link"},
          {"--diff", "tree"}},
         1, "M a\nm d\n- gone\nm link\n+ new\n", nullptr},
        // Nothing inside the mounted file system is compared.
        {"diff_of_an_unchanged_folder", every_kind, {{"-copy", "tree"}, {"--diff", "tree"}}, 0, "", nullptr},
        {"diff_of_a_folder_as_json", "mkdir -p tree/d && echo 1 > tree/a",
         {{"-copy", "tree"},
          {"sh", "-c", "echo 22 > tree/a && ln -s a tree/l && " + read_json(tesrak + " --diff --json tree")}},
         0, "",
         [](const Sandbox& s) {
             EXPECT_EQ(s.read("json.out"),
                       "[('change', 'M'), ('kind', 'file'), ('path', b'a'), ('size', 3), ('stamp', 16)]\n"
                       "[('change', '+'), ('kind', 'link'), ('path', b'l'), ('size', 0), ('stamp', 16)]\n");
         }},
        // A name that is not UTF-8, with a line end in it, comes back whole.
        {"list_as_json", "printf 1 > \"$(printf 'f\\377\\nx')\" && mkdir tree",
         {{"sh", "-c", tesrak + " -copy \"$(printf 'f\\377\\nx')\" tree && " +
                           read_json(tesrak + " --list --json \"$(printf 'f\\377\\nx')\" tree")}},
         0, "",
         [](const Sandbox& s) {
             EXPECT_TRUE(matches("[('kind', 'file'), ('path', b'backup/f\\xff\\nx.{D}.{D}'), ('size', 1), ('stamp', 16), "
                                 "('time', 2026), ('version', 1)]\n[('kind', 'folder'), ('path', b'backup/tree.{D}.{D}'), "
                                 "('size', None), ('stamp', 16), ('time', 2026), ('version', 1)]\n",
                                 s.read("json.out")))
                 << s.read("json.out");
         }},
        {"dry_run_as_json", "mkdir backup && echo 1 > f && touch backup/f.20200101.10000000 && echo 12 > backup/f.20200102.10000000",
         {{"sh", "-c", read_json(tesrak + " --dry-run --json --keep-yearly=2 -copy f")}}, 0, "",
         [](const Sandbox& s) {
             EXPECT_TRUE(matches("[('action', 'make'), ('kind', 'file'), ('path', b'backup/f.{D}.{D}'), ('size', 2), "
                                 "('stamp', 16), ('time', 2026)]\n"
                                 "[('action', 'keep'), ('kind', 'file'), ('path', b'backup/f.20200102.10000000'), "
                                 "('reasons', ['yearly 2']), ('size', 3), ('stamp', 16), ('time', 2020)]\n"
                                 "[('action', 'remove'), ('frees', 0), ('kind', 'file'), ('path', b'backup/f.20200101.10000000'), "
                                 "('size', 0), ('stamp', 16), ('time', 2020)]\n[('action', 'total'), ('frees', 0)]\n",
                                 s.read("json.out")))
                 << s.read("json.out");
             EXPECT_EQ(s.backups().size(), 2U);
         }},
        // Excludes as in .gitignore, and cache folders.
        {"excludes_leave_entries_out", patterned,
         {{"-copy", "--exclude=*.o", "--exclude=build/", "--exclude=deep/**/y.txt", "--exclude=/src/*.c", "tree"}}, 0, "",
         [](const Sandbox& s) {
             EXPECT_EQ(snapshot_paths(s), "deep\ndeep/x\ndeep/x/gen\ndocs\ndocs/build\nfake\n"
                                          "fake/CACHEDIR.TAG\nsrc\nsrc/sub\nsrc/sub/d.c\n");
         }},
        {"excludes_with_stars_across_folders", patterned, {{"-copy", "--exclude=**/gen", "--exclude=src/**", "tree"}}, 0,
         "",
         [](const Sandbox& s) {
             EXPECT_EQ(snapshot_paths(s), "a.o\nbuild\nbuild/x\ndeep\ndeep/x\ndeep/y.txt\ndocs\ndocs/build\nfake\n"
                                          "fake/CACHEDIR.TAG\nsrc\n");
         }},
        {"diff_and_if_changed_leave_out_the_same", patterned,
         {{"-copy", "--exclude=*.o", "tree"},
          {"sh", "-c", "echo 2 > tree/a.o && echo 2 > tree/cache/z"},
          {"-copy", "--if-changed", "--exclude=*.o", "tree"},
          {"--diff", "tree"}},
         0, "", [](const Sandbox& s) { EXPECT_EQ(s.backups().size(), 1U); }},
        {"if_changed_with_other_excludes_copies", patterned,
         {{"-copy", "--exclude=*.o", "tree"}, {"-copy", "--if-changed", "tree"}}, 0, "",
         [](const Sandbox& s) { EXPECT_EQ(s.backups().size(), 2U); }},
        {"restore_leaves_excluded_entries_in_place", patterned,
         {{"-copy", "--exclude=build/", "--exclude=*.o", "tree"},
          {"sh", "-c", "echo 2 > tree/src/c.c && echo 2 > tree/build/x && mkdir -p tree/new/build && echo 3 > tree/new/build/y"},
          {"--restore", "tree"}},
         0, "",
         [](const Sandbox& s) {
             EXPECT_EQ(s.read("tree/src/c.c"), "1\n");
             EXPECT_EQ(s.read("tree/build/x"), "2\n");
             EXPECT_EQ(s.read("tree/new/build/y"), "3\n");
             EXPECT_EQ(s.read("tree/cache/z"), "1\n");
             EXPECT_TRUE(s.exists("tree/a.o") && s.exists("tree/src/b.o"));
             EXPECT_TRUE(temporaries(s).empty());
             // The backup of the tree as it was leaves out the same entries.
             const std::vector<std::string> names = s.backups();
             ASSERT_EQ(names.size(), 2U);
             EXPECT_EQ(s.read("backup/" + names[1] + "/src/c.c"), "2\n");
             EXPECT_FALSE(s.exists("backup/" + names[1] + "/build") || s.exists("backup/" + names[1] + "/a.o"));
         }},
        // The folder named is taken whatever it holds; only folders below
        // it are left out as caches.
        {"the_named_folder_is_taken_though_tagged", "mkdir -p tree/sub && echo 1 > tree/c && echo 2 > tree/sub/d && "
                                                    "printf 'Signature: 8a477f597d28d172789f06886806bc55' > tree/CACHEDIR.TAG",
         {{"-copy", "tree"}}, 0, "",
         [](const Sandbox& s) { EXPECT_EQ(snapshot_paths(s), "CACHEDIR.TAG\nc\nsub\nsub/d\n"); }},
        {"keep_removes_a_snapshots_record_with_it", patterned,
         {{"-copy", "--exclude=*.o", "tree"}, {"sh", "-c", "echo 2 > tree/src/c.c"}, {"-copy", "--exclude=*.o", "--keep=1", "tree"}},
         0, "",
         [](const Sandbox& s) {
             const std::vector<std::string> names = s.backups();
             ASSERT_EQ(names.size(), 1U);
             EXPECT_EQ(s.backups("backup/.tesrak.excludes"), names);
             EXPECT_EQ(s.read("backup/.tesrak.excludes/" + names.front()), std::string("*.o\0", 4));
         }},
        // The backup holds the folder that has since been tagged as a cache:
        // neither version may go, so nothing changes.
        {"restore_onto_a_folder_tagged_since_changes_nothing", "mkdir -p tree/cache && echo 1 > tree/cache/c",
         {{"-copy", "tree"},
          {"sh", "-c", "printf 'Signature: 8a477f597d28d172789f06886806bc55' > tree/cache/CACHEDIR.TAG && echo 2 > tree/cache/c"},
          {"--restore", "tree"}},
         3, "Restore failed: tree: File exists\nErrorLevel: 3\n",
         [](const Sandbox& s) {
             EXPECT_EQ(s.read("tree/cache/c"), "2\n");
             EXPECT_EQ(s.backups().size(), 1U);
             EXPECT_TRUE(temporaries(s).empty());
         }},
        {"the_folder_holding_the_backups_is_refused", "echo x > f", {{"-copy", "."}}, 3,
         "Backup failed: backup/.{D}.{D}: The folder holds the backup folder\nErrorLevel: 3\n",
         [](const Sandbox& s) { EXPECT_FALSE(s.exists("backup")); }},
    };
}

class Snapshot : public testing::TestWithParam<Row> {};

TEST_P(Snapshot, Row) {
    const Row& row = GetParam();
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give entries to other users and make devices";
    if (!row.faults.empty() && std::system("command -v strace >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "strace is not installed (the test command installs it)";
    }
    // LeakSanitizer, where the program has it, cannot run under strace.
    std::string sanitizer_options = "detect_leaks=0";
    if (const char* given = std::getenv("ASAN_OPTIONS")) sanitizer_options = given + (':' + sanitizer_options);
    std::vector<std::string> launcher{"strace", "-f", "-qq", "-o", "/dev/null", "-E",
                                      "ASAN_OPTIONS=" + sanitizer_options};
    for (const std::string& fault : row.faults) {
        launcher.push_back("-e");
        launcher.push_back("inject=" + fault);
    }
    const Sandbox sandbox;
    std::optional<LoopImage> image;
    if (row.shares_blocks) {
        image.emplace(320, std::vector<std::string>{"mkfs.xfs", "-q", "-f", "-m", "reflink=1"}, "xfs");
        if (!image->unavailable().empty()) GTEST_SKIP() << image->unavailable();
        fs::create_directory_symlink(image->mount_point(), sandbox.path() / "xfs");
    }
    shell(sandbox, row.before);
    std::optional<MountedInside> mounted;
    if (row.before == every_kind) {
        // A device only where the system lets this process make one.
        shell(sandbox, "mknod tree/null c 1 3 2>/dev/null || true");
        mounted.emplace(sandbox.path() / "tree/mounted");
    }
    ProgramRun result{};
    for (const std::vector<std::string>& run : row.runs) {
        if (run.front() == "sh") {
            shell(sandbox, run.back());
            continue;
        }
        result = row.faults.empty() ? run_tesrak(run, sandbox.path()) : run_tesrak_via(launcher, run, sandbox.path());
    }
    EXPECT_EQ(result.exit_code, row.exit_code) << result.printed();
    EXPECT_TRUE(matches(row.output, result.printed())) << result.printed();
    if (row.check) row.check(sandbox);
}

INSTANTIATE_TEST_SUITE_P(Posix, Snapshot, testing::ValuesIn(rows()),
                         [](const testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

}  // namespace
