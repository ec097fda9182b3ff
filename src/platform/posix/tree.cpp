// Snapshots of folders: the whole tree copied under a temporary name beside
// its target, every entry in it flushed, then given the target's name in one
// step, so that no partial tree ever stands under a backup's name.
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/statfs.h>
#include <sys/xattr.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/internal.h"
#include "snapshot/sharing.h"

namespace posix {

namespace {

using Identity = std::pair<dev_t, ino_t>;

// The first copy of a file with several names: its names from the top, and
// what it holds.
struct FirstCopy {
    std::vector<std::string> names;
    Hashed hashed;
};

// What the walk over one tree shares.
struct Walk {
    dev_t device;             // the tree's file system: other ones are not entered
    Identity target_folder;   // where the snapshot is made: never copied into itself
    int top;                  // the snapshot's own top folder
    std::vector<std::string> names;  // from the top to the folder being copied
    // The first copy of each file with several names.
    std::map<Identity, FirstCopy> linked;
    // The earlier snapshot shared with: when its top folder took its name,
    // the last step of its making, and its record's lines by their paths
    // from its top.
    timespec earlier_named = {};
    std::map<std::string, RecordLine> earlier_lines = {};
    // Whether the tree's file system keeps change times to the nanosecond.
    bool exact_change_times = false;
    nlink_t link_max = std::numeric_limits<nlink_t>::max();  // the names a file may have there
    // Whether copies into the snapshot share blocks; asked of the first file
    // that could be linked.
    std::optional<bool> clones = {};
    // The earlier files linked: each stands for one file of the tree, so no
    // other file may take it (files whose names were parted since look alike).
    std::set<Identity> shared = {};
    std::span<const std::string> excludes = {};  // patterns of what stays out of the snapshot
    bool takes_all = false;  // a restore puts back the whole backup
    // The record of the snapshot's files, their paths from the backup
    // folder; none for a restore.
    std::string top_name = {};
    RecordStream* record = nullptr;
    // A restore: what the backup's record says each file holds, by its path
    // from the top.
    std::map<std::string, RecordLine> expected = {};
    FlushingAlong* along = nullptr;  // told of the bytes copied
    // The entry, relative to the top, that the walk failed on.
    std::string failed_on = {};
};

// An entry's path from the top, in the folder being copied.
std::string path_from_top(const Walk& walk, const char* name) {
    std::string path;
    for (const std::string& folder : walk.names) (path += folder) += '/';
    return path += name;
}

// Notes an entry that could not be copied. The walk stops at the first
// failure, which is the deepest: the folders that hold the entry fail after it.
Error failed_at(Walk& walk, const char* name, Error failure) {
    if (walk.failed_on.empty()) walk.failed_on = path_from_top(walk, name);
    return failure;
}

// Another name for a file copied before: a hard link to that copy, found by
// its names from the top of the snapshot, one folder at a time.
Error link_to_first_copy(const Walk& walk, const std::vector<std::string>& names, const Folder& to,
                         const char* name) {
    FileDescriptor folder;
    int at = walk.top;
    for (std::size_t i = 0; i + 1 < names.size(); ++i) {
        folder = FileDescriptor(::openat(at, names[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!folder.valid()) return call_error();
        at = folder.get();
    }
    if (::linkat(at, names.back().c_str(), to.fd.get(), name, 0) != 0) return call_error();
    return {};
}

bool not_after(const timespec& one, const timespec& other) {
    return one.tv_sec < other.tv_sec || (one.tv_sec == other.tv_sec && one.tv_nsec <= other.tv_nsec);
}

FileFacts facts_of(const struct stat& status) {
    return {status.st_dev,   status.st_ino,  static_cast<std::uint64_t>(status.st_size),
            instant_of(status.st_mtim), instant_of(status.st_ctim), status.st_mode,
            status.st_uid,   status.st_gid};
}

// Whether copies from the source into the snapshot share blocks (btrfs, XFS
// with reflink): they then take no room and stay files of their own, and
// nothing is linked.
bool copies_share_blocks(Walk& walk, int in, const Folder& to) {
    if (!walk.clones) {
        const Outcome<StagedFile> probe = create_staged(to);
        walk.clones = !probe.failed() && ::ioctl(probe.value.fd(), FICLONE, in) == 0;
    }
    return *walk.clones;
}

// Makes the source's entry a hard link to the earlier snapshot's file of
// that name where that is provably the version the source holds (see
// sharing_for), with the same attributes; the digest is then the earlier
// record's, or where the bytes decided, theirs. A source with several names
// needs room for all of them. False where the file is not shared, for
// whatever reason: it is then copied.
bool share(Walk& walk, int in, const struct stat& source, int earlier, const char* name, const Folder& to,
           Hashed& hashed) {
    struct stat found {};
    if (::fstatat(earlier, name, &found, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(found.st_mode) ||
        walk.shared.contains({found.st_dev, found.st_ino}) ||
        (source.st_nlink > 1 && found.st_nlink + source.st_nlink > walk.link_max) ||
        copies_share_blocks(walk, in, to)) {
        return false;
    }
    const auto recorded = walk.earlier_lines.find(path_from_top(walk, name));
    SharingFacts facts{facts_of(source), facts_of(found), std::nullopt, false, walk.exact_change_times};
    if (recorded != walk.earlier_lines.end()) facts.recorded = recorded->second.source;
    const Sharing decision = sharing_for(facts);
    if (decision == Sharing::copy) return false;
    // Reading the earlier file leaves its access time as it was.
    const FileDescriptor file(open_untouched(earlier, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened {};
    if (!file.valid() || ::fstat(file.get(), &opened) != 0 || opened.st_ino != found.st_ino ||
        opened.st_dev != found.st_dev) {
        return false;
    }
    const Outcome<bool> same_attributes_read = same_attributes(in, file.get());
    if (same_attributes_read.failed() || !same_attributes_read.value) return false;
    facts.earlier_as_made = not_after(opened.st_ctim, walk.earlier_named);
    std::optional<Digest> recorded_digest;
    if (recorded != walk.earlier_lines.end()) recorded_digest = recorded->second.digest;
    if (sharing_for(facts) == Sharing::link && recorded_digest) {
        hashed = {*recorded_digest, recorded->second.size};
    } else {
        struct stat now {};
        const Outcome<bool> same_bytes = bytes_equal(in, file.get(), &hashed);
        const bool same = !same_bytes.failed() && same_bytes.value && ::fstat(in, &now) == 0 &&
                          same_version(source, now);
        if (!share_compared(same, hashed.digest, recorded_digest)) return false;
    }
    if (::linkat(earlier, name, to.fd.get(), name, 0) != 0) return false;
    // The name linked must be the file looked at, not one put in its place.
    struct stat linked {};
    if (::fstatat(to.fd.get(), name, &linked, AT_SYMLINK_NOFOLLOW) != 0 || linked.st_ino != found.st_ino ||
        linked.st_dev != found.st_dev) {
        ::unlinkat(to.fd.get(), name, 0);
        return false;
    }
    walk.shared.insert({found.st_dev, found.st_ino});
    return true;
}

// Records a file of the snapshot; a restore checks it against the backup's record.
Error note_file(Walk& walk, const char* name, const struct stat& source, const Hashed& hashed, Nanoseconds read) {
    const std::string path = path_from_top(walk, name);
    if (walk.takes_all) {
        const auto expected = walk.expected.find(path);
        const bool damaged = expected != walk.expected.end() &&
                             (expected->second.digest != hashed.digest || expected->second.size != hashed.size);
        return damaged ? Error{platform::damaged_backup} : Error{};
    }
    if (walk.record == nullptr) return {};
    return walk.record->add({walk.top_name + '/' + path, hashed.digest, hashed.size,
                             SourceRead{source.st_dev, source.st_ino, instant_of(source.st_ctim), read}});
}

Error copy_file(Walk& walk, int from, const char* name, struct stat& status, const Folder& to, int earlier) {
    const Identity identity{status.st_dev, status.st_ino};
    if (status.st_nlink > 1) {
        if (const auto first = walk.linked.find(identity); first != walk.linked.end()) {
            if (const Error failed = link_to_first_copy(walk, first->second.names, to, name)) return failed;
            return note_file(walk, name, status, first->second.hashed, now_instant());
        }
    }
    // The clock before the version copied was looked at: a change stamped
    // safely before it came before the read.
    const Nanoseconds read = now_instant();
    const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    const FileDescriptor in(walk.takes_all ? open_untouched(from, name, flags) : ::openat(from, name, flags));
    if (!in.valid() || ::fstat(in.get(), &status) != 0) return call_error();
    if (!S_ISREG(status.st_mode)) return error_of(EAGAIN);  // replaced while the tree was read
    Hashed hashed;
    if (earlier < 0 || !share(walk, in.get(), status, earlier, name, to, hashed)) {
        const FileDescriptor out(::openat(to.fd.get(), name, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600));
        if (!out.valid()) return call_error();
        PendingDigest digest;
        if (const Error failed = fill(in.get(), out.get(), status, to, false, digest)) return failed;
        if (const Error failed = digest.take(hashed)) return failed;
        if (walk.along != nullptr) walk.along->copied(static_cast<std::uint64_t>(status.st_size));
    }
    if (const Error failed = note_file(walk, name, status, hashed, read)) return failed;
    if (status.st_nlink > 1) {
        std::vector<std::string> names = walk.names;
        names.emplace_back(name);
        walk.linked.emplace(identity, FirstCopy{std::move(names), hashed});
    }
    return {};
}

// A link is copied as a link, never followed.
Error copy_link(int from, const char* name, const struct stat& status, const Folder& to) {
    std::string destination;
    if (const Error failed = read_link(from, name, status.st_size, destination)) return failed;
    if (::symlinkat(destination.c_str(), to.fd.get(), name) != 0) return call_error();
    return keep_metadata({from, name}, {to.fd.get(), name}, status, false);
}

// A FIFO, a socket or a device is made anew, never opened; a device only
// where the process may make one.
Error copy_special(int from, const char* name, const struct stat& status, const Folder& to) {
    const mode_t kind = status.st_mode & S_IFMT;
    const bool device = kind == S_IFCHR || kind == S_IFBLK;
    if (!device && kind != S_IFIFO && kind != S_IFSOCK) return error_of(EINVAL);
    if (::mknodat(to.fd.get(), name, kind | S_IRUSR | S_IWUSR, device ? status.st_rdev : 0) != 0) return call_error();
    return keep_metadata({from, name}, {to.fd.get(), name}, status, to.gives_an_acl);
}

Error copy_folder(Walk& walk, int from, const char* name, const Folder& to, int earlier);

// Whether an entry stays out of the snapshot; its path from the top is made
// only where patterns are to match it.
bool leaves_out(const Walk& walk, int from, const char* name, const struct stat& status) {
    if (walk.takes_all || (walk.excludes.empty() && !S_ISDIR(status.st_mode))) return false;
    return left_out(from, name, status, walk.excludes.empty() ? std::string() : path_from_top(walk, name), walk.excludes);
}

// Copies what a folder holds into its copy, entry by entry, sharing the
// unchanged files of the earlier snapshot's folder, where there is one.
Error copy_entries(Walk& walk, DIR* stream, const Folder& to, int earlier) {
    const int from = ::dirfd(stream);
    for (;;) {
        const Outcome<const dirent*> next = next_entry(stream);
        if (next.failed()) return Error{next.error};
        const dirent* entry = next.value;
        if (entry == nullptr) return {};
        struct stat status {};
        if (::fstatat(from, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            return failed_at(walk, entry->d_name, call_error());
        }
        if (leaves_out(walk, from, entry->d_name, status)) continue;
        Error failed;
        if (S_ISDIR(status.st_mode)) {
            failed = copy_folder(walk, from, entry->d_name, to, earlier);
        } else if (S_ISREG(status.st_mode)) {
            failed = copy_file(walk, from, entry->d_name, status, to, earlier);
        } else if (S_ISLNK(status.st_mode)) {
            failed = copy_link(from, entry->d_name, status, to);
        } else {
            failed = copy_special(from, entry->d_name, status, to);
        }
        if (failed) return failed_at(walk, entry->d_name, failed);
        entry_done();
    }
}

// A folder just made in another, for a copy of the source folder: it
// inherited its parent's default ACL, as a file made in it does. exFAT shows
// a new folder as 0777 at once: one that lets in more than the source fails
// (EPERM) before anything goes into it.
Outcome<Folder> open_made_folder(const Folder& parent, const char* name, const struct stat& source) {
    FileDescriptor fd(::openat(parent.fd.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) return call_error();
    if (const Error failed = shows_no_more(source, {fd.get(), nullptr})) return failed;
    return Folder{std::move(fd), true, parent.gives_an_acl};
}

Outcome<Folder> make_folder(const Folder& parent, const char* name, const struct stat& source) {
    if (::mkdirat(parent.fd.get(), name, S_IRWXU) != 0) return call_error();
    return open_made_folder(parent, name, source);
}

// Copies a folder's contents, then gives the copy the folder's owner, mode,
// ACLs, attributes and times, which the contents would otherwise change. A
// folder of another file system (a mount point) is copied empty.
Error copy_tree(Walk& walk, DIR* stream, const struct stat& status, const Folder& to, bool may_have_inherited,
                int earlier) {
    const int from = ::dirfd(stream);
    if (Identity{status.st_dev, status.st_ino} == walk.target_folder) return error_of(EINVAL);
    if (status.st_dev == walk.device) {
        if (const Error failed = copy_entries(walk, stream, to, earlier)) return failed;
    }
    return keep_metadata({from, nullptr}, {to.fd.get(), nullptr}, status, may_have_inherited);
}

Error copy_folder(Walk& walk, int from, const char* name, const Folder& to, int earlier) {
    const Outcome<FolderStream> stream = open_stream(from, name);
    if (stream.failed()) return Error{stream.error};
    struct stat status {};
    if (::fstat(::dirfd(stream.value.get()), &status) != 0) return call_error();
    const Outcome<Folder> copy = make_folder(to, name, status);
    if (copy.failed()) return Error{copy.error};
    // Where the earlier snapshot has no real folder of that name, nothing below is shared.
    const FileDescriptor earlier_folder(
        earlier < 0 ? -1 : ::openat(earlier, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    walk.names.emplace_back(name);
    const Error failed = copy_tree(walk, stream.value.get(), status, copy.value, to.gives_an_acl, earlier_folder.get());
    walk.names.pop_back();
    return failed;
}

// The walk holds three descriptors for each level of the tree: as many as
// the system lets the process have.
void allow_all_descriptors() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// How many entries a folder holds, . and .. left out.
Outcome<std::size_t> count_entries(int at, const char* name) {
    const Outcome<FolderStream> stream = open_stream(at, name);
    if (stream.failed()) return Error{stream.error};
    std::size_t count = 0;
    for (;;) {
        const Outcome<const dirent*> next = next_entry(stream.value.get());
        if (next.failed()) return Error{next.error};
        if (next.value == nullptr) return count;
        ++count;
    }
}

// Renames an entry of a folder without replacing, and its name follows it.
// Where the system cannot, a plain rename after a look, which replaces only
// what another process made in that instant; there a tree of this run's own
// must hold as many entries after the rename as before, else EIO: FAT
// through FUSE empties a folder that it renames.
Error rename_here(int at, std::string& name, const std::string& to, bool own_tree) {
    if (::renameat2(at, name.c_str(), at, to.c_str(), RENAME_NOREPLACE) == 0) {
        name = to;
        return {};
    }
    if (!flag_unsupported(static_cast<ErrorCode>(errno))) return call_error();
    struct stat status {};
    if (::fstatat(at, to.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) return error_of(EEXIST);
    if (errno != ENOENT) return call_error();
    Outcome<std::size_t> before;
    if (own_tree) {
        before = count_entries(at, name.c_str());
        if (before.failed()) return Error{before.error};
    }
    if (::renameat(at, name.c_str(), at, to.c_str()) != 0) return call_error();
    name = to;
    if (!own_tree) return {};
    const Outcome<std::size_t> after = count_entries(at, name.c_str());
    if (after.failed()) return Error{after.error};
    return after.value == before.value ? Error{} : error_of(EIO);
}


// The temporary tree of a snapshot, removed again unless it took its name.
// The name follows the tree where it is renamed; after an exchange it holds
// the earlier entry instead, which then goes in the tree's place.
class TemporaryTree {
public:
    explicit TemporaryTree(int folder) : folder_(folder) {}
    ~TemporaryTree() {
        // After an exchange the name may hold the earlier entry, a file.
        if (!name_.empty() && remove_tree(folder_, name_.c_str())) ::unlinkat(folder_, name_.c_str(), 0);
    }
    TemporaryTree(const TemporaryTree&) = delete;
    TemporaryTree& operator=(const TemporaryTree&) = delete;
    // Makes the tree's top folder, for a copy of the source folder, under a
    // fresh temporary name.
    Outcome<Folder> make(const Folder& in, const struct stat& source) {
        for (int i = 0; i < temporary_name_tries; ++i) {
            std::string name = temporary_name();
            // The name is kept before the folder is opened, so that it goes
            // again whatever fails next.
            if (::mkdirat(in.fd.get(), name.c_str(), S_IRWXU) == 0) {
                name_ = std::move(name);
                return open_made_folder(in, name_.c_str(), source);
            }
            if (errno != EEXIST) return call_error();
        }
        return error_of(EEXIST);
    }
    const std::string& name() const { return name_; }
    Error rename_to(const std::string& to) { return rename_here(folder_, name_, to, holds_tree_); }
    Error rename_aside() { return rename_to_temporary(folder_, name_, holds_tree_); }
    // After an exchange: the tree's name, now this one, holds what the
    // target's name held.
    void exchanged(std::string name) {
        name_ = std::move(name);
        holds_tree_ = !holds_tree_;
    }
    void handed_on() { name_.clear(); }

private:
    int folder_;
    std::string name_;
    bool holds_tree_ = true;
};

Error flush_one(const Folder& folder) {
    const Folder* const folders[] = {&folder};
    return flush_folders(folders);
}

// Exchanges by renames where the system cannot in one step (sshfs, ntfs-3g,
// exFAT, FAT): the entry under the name is renamed aside and the tree's takes
// its place, so that the name is missing for an instant. The tree's entry is
// first renamed once on its own: where the file system empties a folder that
// it renames, that shows before the entry under the name is touched.
Error exchange_by_renames(TemporaryTree& tree, int at, const std::string& name) {
    std::string other = name;
    if (const Error failed = tree.rename_aside()) return failed;
    Error failed = rename_to_temporary(at, other, false);
    if (!failed) failed = tree.rename_to(name);
    if (!failed) {
        tree.exchanged(std::move(other));
        return {};
    }
    // The entry renamed aside takes its name back, once the tree's has left it.
    if (tree.name() == name) static_cast<void>(tree.rename_aside());
    if (other != name && tree.name() != name) static_cast<void>(rename_here(at, other, name, false));
    return failed;
}

// Exchanges the entry under the tree's temporary name with the one under the
// name. An entry that cannot be renamed at all (a folder of overlayfs' lower
// layer, EXDEV) fails with that error.
Error exchange(TemporaryTree& tree, int at, const std::string& name) {
    if (::renameat2(at, tree.name().c_str(), at, name.c_str(), RENAME_EXCHANGE) == 0) {
        tree.exchanged(tree.name());
        return {};
    }
    const Error refused = call_error();
    if (!flag_unsupported(refused.code)) return refused;
    return exchange_by_renames(tree, at, name);
}

// Gives the finished tree the target's name in one step. An earlier entry of
// that name, never one this run made, is exchanged with it and then removed,
// where asked.
Error take_tree_name(TemporaryTree& tree, const Folder& folder, const std::string& name, const MadeFiles& made,
                     bool replace) {
    const int at = folder.fd.get();
    const Error taken = tree.rename_to(name);
    if (!taken) {
        tree.handed_on();
        return flush_one(folder);
    }
    if (taken.code != EEXIST || !replace) return taken;
    struct stat earlier {};
    if (::fstatat(at, name.c_str(), &earlier, AT_SYMLINK_NOFOLLOW) != 0) return call_error();
    if (made.contains({earlier.st_dev, earlier.st_ino})) return error_of(EEXIST);
    if (const Error failed = exchange(tree, at, name)) return failed;
    if (const Error failed = flush_one(folder)) {
        // The earlier entry takes its name back; the new tree then goes.
        static_cast<void>(exchange(tree, at, name));
        return failed;
    }
    // The earlier entry now has the temporary name, and goes with it. Where
    // that removal fails, the new snapshot stands, the run fails, and the
    // removal is tried once more on the way out.
    const char* temporary = tree.name().c_str();
    if (S_ISDIR(earlier.st_mode)) {
        if (const Error failed = remove_tree(at, temporary)) return failed;
    } else if (::unlinkat(at, temporary, 0) != 0) {
        return call_error();
    }
    tree.handed_on();
    return flush_one(folder);
}

}  // namespace

Error rename_to_temporary(int at, std::string& name, bool own_tree) {
    for (int i = 0; i < temporary_name_tries; ++i) {
        const Error failed = rename_here(at, name, temporary_name(), own_tree);
        if (failed.code != EEXIST) return failed;
    }
    return error_of(EEXIST);
}

// Makes each folder on the way to an entry that one tree has and another
// lacks, as the first has it.
Error make_parents(int from, int to, const std::string& path) {
    for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string parent = path.substr(0, slash);
        struct stat status {};
        if (::fstatat(to, parent.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
            if (!S_ISDIR(status.st_mode)) return error_of(ENOTDIR);
            continue;
        }
        if (errno != ENOENT || ::fstatat(from, parent.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
            ::mkdirat(to, parent.c_str(), status.st_mode & 07777) != 0) {
            return call_error();
        }
        // Where the owner cannot be given, the folder stays the runner's.
        if (::fchownat(to, parent.c_str(), status.st_uid, status.st_gid, AT_SYMLINK_NOFOLLOW) != 0 &&
            errno != EPERM && !call_unsupported(static_cast<ErrorCode>(errno))) {
            return call_error();
        }
    }
    return {};
}

// Moves entries, by their paths, from one tree to the same paths in another
// where nothing stands there yet; on a failure those moved go back.
Error move_entries(int from, int to, std::span<const std::string> paths) {
    std::size_t moved = 0;
    Error failed;
    for (; moved < paths.size(); ++moved) {
        const char* path = paths[moved].c_str();
        struct stat status {};
        if (::fstatat(to, path, &status, AT_SYMLINK_NOFOLLOW) == 0) {
            failed = error_of(EEXIST);
            break;
        }
        if ((failed = make_parents(from, to, paths[moved]))) break;
        if (::renameat(from, path, to, path) != 0) {
            failed = call_error();
            break;
        }
    }
    if (!failed) return {};
    while (moved-- > 0) ::renameat(to, paths[moved].c_str(), from, paths[moved].c_str());
    return failed;
}

// The paths of the entries of an open tree that its snapshots leave out.
Error find_left_out(int folder, const std::string& prefix, std::span<const std::string> patterns, dev_t device,
                    std::vector<std::string>& found) {
    std::vector<std::string> names;
    if (const Error failed = sorted_names(folder, names)) return failed;
    for (const std::string& name : names) {
        struct stat status {};
        if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return call_error();
        const std::string path = prefix + name;
        if (left_out(folder, name.c_str(), status, path, patterns)) {
            found.push_back(path);
        } else if (S_ISDIR(status.st_mode) && status.st_dev == device) {
            const FileDescriptor inside(::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!inside.valid()) return call_error();
            if (const Error failed = find_left_out(inside.get(), path + '/', patterns, device, found)) return failed;
        }
    }
    return {};
}

// A restored folder keeps what its snapshots leave out (they were never in
// the backup): those entries of the folder at the name move into the
// restored tree before it takes the name, and are flushed there.
Error carry_left_out(const Folder& folder, const std::string& name, std::span<const std::string> patterns,
                     const Folder& top, FileDescriptor& current, std::vector<std::string>& carried) {
    current = FileDescriptor(::openat(folder.fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (!current.valid()) return errno == ENOENT || errno == ENOTDIR ? Error{} : call_error();
    if (::fstat(current.get(), &status) != 0) return call_error();
    if (const Error failed = find_left_out(current.get(), "", patterns, status.st_dev, carried)) return failed;
    if (const Error failed = move_entries(current.get(), top.fd.get(), carried)) return failed;
    if (carried.empty() || ::syncfs(top.fd.get()) == 0) return {};
    const Error failed = call_error();
    static_cast<void>(move_entries(top.fd.get(), current.get(), carried));
    return failed;
}

// Whether a file system keeps change times from the kernel's clock, to the
// nanosecond: FUSE file systems give what their server says.
bool exact_change_times(int fd) {
    struct statfs system {};
    if (::fstatfs(fd, &system) != 0) return false;
    constexpr std::array<long, 5> exact{EXT4_SUPER_MAGIC, XFS_SUPER_MAGIC, BTRFS_SUPER_MAGIC, TMPFS_MAGIC,
                                        F2FS_SUPER_MAGIC};
    return std::find(exact.begin(), exact.end(), static_cast<long>(system.f_type)) != exact.end();
}

SnapshotFailure make_snapshot(DIR* source, const Folder& folder, const std::string& name, MadeFiles& made,
                              bool replace, const Earlier& earlier, const Exclusion& exclusion,
                              const std::string& record, std::span<const RecordLine> recorded) {
    struct stat status {};
    struct stat target {};
    if (::fstat(::dirfd(source), &status) != 0 || ::fstat(folder.fd.get(), &target) != 0) return {call_error()};
    allow_all_descriptors();
    TemporaryTree tree(folder.fd.get());
    const Outcome<Folder> top = tree.make(folder, status);
    if (top.failed()) return {Error{top.error}};
    Walk walk{status.st_dev, {target.st_dev, target.st_ino}, top.value.fd.get(), {}, {}};
    walk.excludes = exclusion.patterns;
    walk.takes_all = exclusion.restoring;
    walk.exact_change_times = exact_change_times(::dirfd(source));
    RecordStream stream(folder.fd.get());
    if (!exclusion.restoring && !record.empty()) {
        if (const Error failed = stream.start()) return {failed};
        walk.top_name = name;
        walk.record = &stream;
    }
    for (const RecordLine& line : recorded) walk.expected.emplace(line.path, line);
    struct stat earlier_top {};
    const bool shares = earlier.top >= 0 && ::fstat(earlier.top, &earlier_top) == 0;
    if (shares) {
        walk.earlier_named = earlier_top.st_ctim;
        std::vector<RecordLine> lines;
        // Without the earlier record, bytes decide what is shared.
        if (!earlier.record.empty() && !read_record(folder.fd.get(), earlier.record, lines)) {
            for (RecordLine& line : lines_inside(lines, earlier.name)) {
                walk.earlier_lines.emplace(line.path, std::move(line));
            }
        }
        const long link_max = ::fpathconf(earlier.top, _PC_LINK_MAX);
        if (link_max > 0) walk.link_max = static_cast<nlink_t>(link_max);
    }
    struct stat made_top {};
    // One flush of the file system puts every entry of the tree on the disk,
    // the linked ones too: measured, it costs a tree of thousands of files
    // less than a flush of each, even when those overlap. Flushes along the
    // walk leave it less to write.
    Error copied;
    {
        FlushingAlong along(top.value.fd.get());
        walk.along = &along;
        copied = copy_tree(walk, source, status, top.value, folder.gives_an_acl, shares ? earlier.top : -1);
        walk.along = nullptr;
    }
    if (copied) return {copied, walk.failed_on};
    // The record is written whole before that flush, and takes its name after it.
    if (walk.record != nullptr) {
        if (const Error failed = stream.finish(record, name)) return {failed};
    }
    if (::syncfs(top.value.fd.get()) != 0 || ::fstat(top.value.fd.get(), &made_top) != 0) return {call_error()};
    FileDescriptor current;
    std::vector<std::string> carried;
    if (exclusion.restoring) {
        if (const Error failed = carry_left_out(folder, name, exclusion.patterns, top.value, current, carried)) {
            return {failed};
        }
    }
    // The record is on the disk before the snapshot takes its name.
    if (walk.record != nullptr) {
        if (const Error failed = stream.commit(record)) return {failed};
    }
    if (const Error failed = take_tree_name(tree, folder, name, made, replace)) {
        // Unless the new tree stands, its record goes, and what was carried
        // into a restored tree goes back.
        struct stat standing {};
        const bool stands = ::fstatat(folder.fd.get(), name.c_str(), &standing, AT_SYMLINK_NOFOLLOW) == 0 &&
                            standing.st_ino == made_top.st_ino && standing.st_dev == made_top.st_dev;
        if (!stands && walk.record != nullptr) stream.undo(record);
        if (!carried.empty() && !stands) static_cast<void>(move_entries(top.value.fd.get(), current.get(), carried));
        return {failed};
    }
    made.insert({made_top.st_dev, made_top.st_ino});
    return {};
}

}  // namespace posix
