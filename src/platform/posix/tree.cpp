// Snapshots of folders: the whole tree copied under a temporary name beside
// its target, every entry in it flushed, then given the target's name in one
// step, so that no partial tree ever stands under a backup's name.
#include <sys/resource.h>

#include <map>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace posix {

namespace {

using Identity = std::pair<dev_t, ino_t>;

// What the walk over one tree shares.
struct Walk {
    dev_t device;             // the tree's file system: other ones are not entered
    Identity target_folder;   // where the snapshot is made: never copied into itself
    int top;                  // the snapshot's own top folder
    std::vector<std::string> names;  // from the top to the folder being copied
    // The first copy of each file with several names, by its names from the top.
    std::map<Identity, std::vector<std::string>> linked;
};

// The entry, relative to the top, that the last snapshot failed on.
std::string failed_on;

// Notes an entry that could not be copied. The walk stops at the first
// failure, which is the deepest: the folders that hold the entry fail after it.
bool failed_at(const Walk& walk, const char* name) {
    if (failed_on.empty()) {
        for (const std::string& folder : walk.names) failed_on += folder + '/';
        failed_on += name;
    }
    return false;
}

// Another name for a file copied before: a hard link to that copy, found by
// its names from the top of the snapshot, one folder at a time.
bool link_to_first_copy(const Walk& walk, const std::vector<std::string>& names, const Folder& to,
                        const char* name) {
    FileDescriptor folder;
    int at = walk.top;
    for (std::size_t i = 0; i + 1 < names.size(); ++i) {
        folder = FileDescriptor(::openat(at, names[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!folder.valid()) return false;
        at = folder.get();
    }
    return ::linkat(at, names.back().c_str(), to.fd.get(), name, 0) == 0;
}

bool copy_file(Walk& walk, int from, const char* name, struct stat& status, const Folder& to) {
    const Identity identity{status.st_dev, status.st_ino};
    if (status.st_nlink > 1) {
        if (const auto first = walk.linked.find(identity); first != walk.linked.end()) {
            return link_to_first_copy(walk, first->second, to, name);
        }
    }
    const FileDescriptor in(::openat(from, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!in.valid() || ::fstat(in.get(), &status) != 0) return false;
    if (!S_ISREG(status.st_mode)) return failed_with(EAGAIN);  // replaced while the tree was read
    FileDescriptor out(::openat(to.fd.get(), name, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600));
    if (!out.valid() || !fill(in.get(), out.get(), status, to, false)) return false;
    if (status.st_nlink > 1) {
        std::vector<std::string> names = walk.names;
        names.emplace_back(name);
        walk.linked.emplace(identity, std::move(names));
    }
    return true;
}

// A link is copied as a link, never followed.
bool copy_link(int from, const char* name, const struct stat& status, const Folder& to) {
    std::string destination;
    return read_link(from, name, status.st_size, destination) &&
           ::symlinkat(destination.c_str(), to.fd.get(), name) == 0 &&
           keep_metadata({from, name}, {to.fd.get(), name}, status, false);
}

// A FIFO, a socket or a device is made anew, never opened; a device only
// where the process may make one.
bool copy_special(int from, const char* name, const struct stat& status, const Folder& to) {
    const mode_t kind = status.st_mode & S_IFMT;
    const bool device = kind == S_IFCHR || kind == S_IFBLK;
    if (!device && kind != S_IFIFO && kind != S_IFSOCK) return failed_with(EINVAL);
    return ::mknodat(to.fd.get(), name, kind | S_IRUSR | S_IWUSR, device ? status.st_rdev : 0) == 0 &&
           keep_metadata({from, name}, {to.fd.get(), name}, status, to.gives_an_acl);
}

bool copy_folder(Walk& walk, int from, const char* name, const Folder& to);

// Copies what a folder holds into its copy, entry by entry.
bool copy_entries(Walk& walk, DIR* stream, const Folder& to) {
    const int from = ::dirfd(stream);
    errno = 0;
    while (const dirent* entry = ::readdir(stream)) {
        const std::string_view name(entry->d_name);
        if (name == "." || name == "..") continue;
        struct stat status {};
        if (::fstatat(from, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) return failed_at(walk, entry->d_name);
        bool copied = false;
        if (S_ISDIR(status.st_mode)) {
            copied = copy_folder(walk, from, entry->d_name, to);
        } else if (S_ISREG(status.st_mode)) {
            copied = copy_file(walk, from, entry->d_name, status, to);
        } else if (S_ISLNK(status.st_mode)) {
            copied = copy_link(from, entry->d_name, status, to);
        } else {
            copied = copy_special(from, entry->d_name, status, to);
        }
        if (!copied) return failed_at(walk, entry->d_name);
        errno = 0;
    }
    return errno == 0;
}

// A folder just made in another, for a copy of the source folder: it
// inherited its parent's default ACL, as a file made in it does. exFAT shows
// a new folder as 0777 at once: one that lets in more than the source fails
// (EPERM) before anything goes into it.
Folder open_made_folder(const Folder& parent, const char* name, const struct stat& source) {
    FileDescriptor fd(::openat(parent.fd.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.valid() && !shows_no_more(source, {fd.get(), nullptr})) return {FileDescriptor(), true, false};
    return {std::move(fd), true, parent.gives_an_acl};
}

Folder make_folder(const Folder& parent, const char* name, const struct stat& source) {
    if (::mkdirat(parent.fd.get(), name, S_IRWXU) != 0) return {FileDescriptor(), true, false};
    return open_made_folder(parent, name, source);
}

// Copies a folder's contents, then gives the copy the folder's owner, mode,
// ACLs, attributes and times, which the contents would otherwise change. A
// folder of another file system (a mount point) is copied empty.
bool copy_tree(Walk& walk, DIR* stream, const struct stat& status, const Folder& to, bool may_have_inherited) {
    const int from = ::dirfd(stream);
    if (Identity{status.st_dev, status.st_ino} == walk.target_folder) return failed_with(EINVAL);
    if (status.st_dev == walk.device && !copy_entries(walk, stream, to)) return false;
    return keep_metadata({from, nullptr}, {to.fd.get(), nullptr}, status, may_have_inherited);
}

bool copy_folder(Walk& walk, int from, const char* name, const Folder& to) {
    const FolderStream stream = open_stream(from, name);
    struct stat status {};
    if (!stream || ::fstat(::dirfd(stream.get()), &status) != 0) return false;
    const Folder copy = make_folder(to, name, status);
    if (!copy.fd.valid()) return false;
    walk.names.emplace_back(name);
    const bool copied = copy_tree(walk, stream.get(), status, copy, to.gives_an_acl);
    walk.names.pop_back();
    return copied;
}

// The walk holds two descriptors for each level of the tree: as many as the
// system lets the process have.
void allow_all_descriptors() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// Whether the system lacks a flag of renameat2 (FUSE file systems).
bool flag_unsupported(int error) {
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

// How many entries a folder holds, . and .. left out.
bool count_entries(int at, const char* name, std::size_t& count) {
    const FolderStream stream = open_stream(at, name);
    if (!stream) return false;
    count = 0;
    errno = 0;
    while (const dirent* entry = ::readdir(stream.get())) {
        const std::string_view entry_name(entry->d_name);
        if (entry_name != "." && entry_name != "..") ++count;
    }
    return errno == 0;
}

// Renames an entry of a folder without replacing, and its name follows it.
// Where the system cannot, a plain rename after a look, which replaces only
// what another process made in that instant; there a tree of this run's own
// must hold as many entries after the rename as before, else EIO: FAT
// through FUSE empties a folder that it renames.
bool rename_here(int at, std::string& name, const std::string& to, bool own_tree) {
    if (::renameat2(at, name.c_str(), at, to.c_str(), RENAME_NOREPLACE) == 0) {
        name = to;
        return true;
    }
    if (!flag_unsupported(errno)) return false;
    struct stat status {};
    if (::fstatat(at, to.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) return failed_with(EEXIST);
    std::size_t before = 0;
    if (errno != ENOENT || (own_tree && !count_entries(at, name.c_str(), before)) ||
        ::renameat(at, name.c_str(), at, to.c_str()) != 0) {
        return false;
    }
    name = to;
    std::size_t after = 0;
    return !own_tree || (count_entries(at, name.c_str(), after) && (after == before || failed_with(EIO)));
}


// The temporary tree of a snapshot, removed again unless it took its name.
// The name follows the tree where it is renamed; after an exchange it holds
// the earlier entry instead, which then goes in the tree's place.
class TemporaryTree {
public:
    explicit TemporaryTree(int folder) : folder_(folder) {}
    ~TemporaryTree() {
        const ErrnoKeeper keep;
        // After an exchange the name may hold the earlier entry, a file.
        if (!name_.empty() && !remove_tree(folder_, name_.c_str())) ::unlinkat(folder_, name_.c_str(), 0);
    }
    TemporaryTree(const TemporaryTree&) = delete;
    TemporaryTree& operator=(const TemporaryTree&) = delete;
    // Makes the tree's top folder, for a copy of the source folder, under a
    // fresh temporary name.
    Folder make(const Folder& in, const struct stat& source) {
        for (int i = 0; i < temporary_name_tries; ++i) {
            std::string name = temporary_name();
            // The name is kept before the folder is opened, so that it goes
            // again whatever fails next.
            if (::mkdirat(in.fd.get(), name.c_str(), S_IRWXU) == 0) {
                name_ = std::move(name);
                return open_made_folder(in, name_.c_str(), source);
            }
            if (errno != EEXIST) break;
        }
        return {FileDescriptor(), true, false};
    }
    const std::string& name() const { return name_; }
    bool rename_to(const std::string& to) { return rename_here(folder_, name_, to, holds_tree_); }
    bool rename_aside() { return rename_to_temporary(folder_, name_, holds_tree_); }
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

bool flush_one(const Folder& folder) {
    const Folder* const folders[] = {&folder};
    return flush_folders(folders);
}

// Exchanges by renames where the system cannot in one step (sshfs, ntfs-3g,
// exFAT, FAT): the entry under the name is renamed aside and the tree's takes
// its place, so that the name is missing for an instant. The tree's entry is
// first renamed once on its own: where the file system empties a folder that
// it renames, that shows before the entry under the name is touched.
bool exchange_by_renames(TemporaryTree& tree, int at, const std::string& name) {
    std::string other = name;
    if (!tree.rename_aside()) return false;
    if (rename_to_temporary(at, other, false) && tree.rename_to(name)) {
        tree.exchanged(std::move(other));
        return true;
    }
    // The entry renamed aside takes its name back, once the tree's has left it.
    const ErrnoKeeper keep;
    if (tree.name() == name) tree.rename_aside();
    if (other != name && tree.name() != name) rename_here(at, other, name, false);
    return false;
}

// Exchanges the entry under the tree's temporary name with the one under the
// name. An entry that cannot be renamed at all (a folder of overlayfs' lower
// layer, EXDEV) fails with that error.
bool exchange(TemporaryTree& tree, int at, const std::string& name) {
    if (::renameat2(at, tree.name().c_str(), at, name.c_str(), RENAME_EXCHANGE) == 0) {
        tree.exchanged(tree.name());
        return true;
    }
    return flag_unsupported(errno) && exchange_by_renames(tree, at, name);
}

// Gives the finished tree the target's name in one step. An earlier entry of
// that name, never one this run made, is exchanged with it and then removed,
// where asked.
bool take_tree_name(TemporaryTree& tree, const Folder& folder, const std::string& name, const MadeFiles& made,
                    bool replace) {
    const int at = folder.fd.get();
    if (tree.rename_to(name)) {
        tree.handed_on();
        return flush_one(folder);
    }
    struct stat earlier {};
    if (errno != EEXIST || !replace || ::fstatat(at, name.c_str(), &earlier, AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
    }
    if (made.contains({earlier.st_dev, earlier.st_ino})) return failed_with(EEXIST);
    if (!exchange(tree, at, name)) return false;
    if (!flush_one(folder)) {
        // The earlier entry takes its name back; the new tree then goes.
        const ErrnoKeeper keep;
        exchange(tree, at, name);
        return false;
    }
    // The earlier entry now has the temporary name, and goes with it. Where
    // that removal fails, the new snapshot stands, the run fails, and the
    // removal is tried once more on the way out.
    const char* temporary = tree.name().c_str();
    if (!(S_ISDIR(earlier.st_mode) ? remove_tree(at, temporary) : ::unlinkat(at, temporary, 0) == 0)) return false;
    tree.handed_on();
    return flush_one(folder);
}

}  // namespace

bool rename_to_temporary(int at, std::string& name, bool own_tree) {
    for (int i = 0; i < temporary_name_tries; ++i) {
        if (rename_here(at, name, temporary_name(), own_tree)) return true;
        if (errno != EEXIST) break;
    }
    return false;
}

bool make_snapshot(DIR* source, const Folder& folder, const std::string& name, MadeFiles& made, bool replace) {
    struct stat status {};
    struct stat target {};
    failed_on.clear();
    if (::fstat(::dirfd(source), &status) != 0 || ::fstat(folder.fd.get(), &target) != 0) return false;
    allow_all_descriptors();
    TemporaryTree tree(folder.fd.get());
    const Folder top = tree.make(folder, status);
    if (!top.fd.valid()) return false;
    Walk walk{status.st_dev, {target.st_dev, target.st_ino}, top.fd.get(), {}, {}};
    struct stat made_top {};
    // One flush of the file system puts every entry of the tree on the disk:
    // measured, it costs a tree of thousands of files less than a flush of
    // each, even when those overlap.
    if (!copy_tree(walk, source, status, top, folder.gives_an_acl) || ::syncfs(top.fd.get()) != 0 ||
        ::fstat(top.fd.get(), &made_top) != 0 || !take_tree_name(tree, folder, name, made, replace)) {
        return false;
    }
    made.insert({made_top.st_dev, made_top.st_ino});
    return succeeded();
}

}  // namespace posix

namespace platform {

std::string failed_entry() { return posix::failed_on; }

}  // namespace platform
