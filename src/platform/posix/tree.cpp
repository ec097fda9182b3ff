// Snapshots of folders: the whole tree copied under a temporary name beside
// its target, every entry in it flushed, then given the target's name in one
// step, so that no partial tree ever stands under a backup's name.
#include <sys/resource.h>

#include <map>
#include <string_view>
#include <vector>

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
        if (::fstatat(from, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) return false;
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
        if (!copied) return false;
        errno = 0;
    }
    return errno == 0;
}

// A folder just made in another: it inherited its parent's default ACL, as a
// file made in it does.
Folder open_made_folder(const Folder& parent, const char* name) {
    return {FileDescriptor(::openat(parent.fd.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)), true,
            parent.gives_an_acl};
}

Folder make_folder(const Folder& parent, const char* name) {
    if (::mkdirat(parent.fd.get(), name, S_IRWXU) != 0) return {FileDescriptor(), true, false};
    return open_made_folder(parent, name);
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
    const Folder copy = make_folder(to, name);
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

// The temporary tree of a snapshot, removed again unless it took its name.
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
    // Makes the tree's top folder under a fresh temporary name.
    Folder make(const Folder& in) {
        for (int i = 0; i < temporary_name_tries; ++i) {
            std::string name = temporary_name();
            // The name is kept before the folder is opened, so that it goes
            // again whatever fails next.
            if (::mkdirat(in.fd.get(), name.c_str(), S_IRWXU) == 0) {
                name_ = std::move(name);
                return open_made_folder(in, name_.c_str());
            }
            if (errno != EEXIST) break;
        }
        return {FileDescriptor(), true, false};
    }
    const std::string& name() const { return name_; }
    void handed_on() { name_.clear(); }

private:
    int folder_;
    std::string name_;
};

bool flush_one(const Folder& folder) {
    const Folder* const folders[] = {&folder};
    return flush_folders(folders);
}

// Renames a folder without replacing; where the system cannot, a plain
// rename after a look, which replaces at most an empty folder.
bool rename_folder_without_replacing(int at, const char* from, const char* to) {
    if (::renameat2(at, from, at, to, RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
    struct stat status {};
    if (::fstatat(at, to, &status, AT_SYMLINK_NOFOLLOW) == 0) return failed_with(EEXIST);
    return errno == ENOENT && ::renameat(at, from, at, to) == 0;
}

// Gives the finished tree the target's name in one step. An earlier entry of
// that name, never one this run made, is exchanged with it and then removed,
// where asked.
bool take_tree_name(TemporaryTree& tree, const Folder& folder, const std::string& name, const MadeFiles& made,
                    bool replace) {
    const int at = folder.fd.get();
    const char* temporary = tree.name().c_str();
    if (rename_folder_without_replacing(at, temporary, name.c_str())) {
        tree.handed_on();
        return flush_one(folder);
    }
    struct stat earlier {};
    if (errno != EEXIST || !replace || ::fstatat(at, name.c_str(), &earlier, AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
    }
    if (made.contains({earlier.st_dev, earlier.st_ino})) return failed_with(EEXIST);
    if (::renameat2(at, temporary, at, name.c_str(), RENAME_EXCHANGE) != 0) return false;
    if (!flush_one(folder)) {
        // The earlier entry takes its name back; the new tree then goes.
        const ErrnoKeeper keep;
        ::renameat2(at, temporary, at, name.c_str(), RENAME_EXCHANGE);
        return false;
    }
    // The earlier entry now has the temporary name, and goes with it. Where
    // that removal fails, the new snapshot stands, the run fails, and the
    // removal is tried once more on the way out.
    if (!(S_ISDIR(earlier.st_mode) ? remove_tree(at, temporary) : ::unlinkat(at, temporary, 0) == 0)) return false;
    tree.handed_on();
    return flush_one(folder);
}

}  // namespace

bool make_snapshot(DIR* source, const Folder& folder, const std::string& name, MadeFiles& made, bool replace) {
    struct stat status {};
    struct stat target {};
    if (::fstat(::dirfd(source), &status) != 0 || ::fstat(folder.fd.get(), &target) != 0) return false;
    allow_all_descriptors();
    TemporaryTree tree(folder.fd.get());
    const Folder top = tree.make(folder);
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
