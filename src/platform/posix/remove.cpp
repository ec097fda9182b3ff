// Removing backups that are no longer to be kept: a file, or a folder as a
// whole tree, never following a link inside it.
#include <vector>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace posix {

namespace {

// A folder of the runner's own that grants its owner too little to be
// emptied (a copy of a read-only folder) is opened up first.
FolderStream open_to_empty(int parent, const char* name) {
    FolderStream stream = open_stream(parent, name);
    struct stat status {};
    if (!stream && errno == EACCES && ::fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(status.st_mode) && status.st_uid == ::geteuid() &&
        ::fchmodat(parent, name, S_IRWXU, 0) == 0) {
        stream = open_stream(parent, name);
    }
    if (stream && ::fstat(::dirfd(stream.get()), &status) == 0 && (status.st_mode & S_IRWXU) != S_IRWXU &&
        status.st_uid == ::geteuid()) {
        ::fchmod(::dirfd(stream.get()), S_IRWXU);
    }
    return stream;
}

}  // namespace

bool remove_tree(int parent, const char* name) {
    const FolderStream stream = open_to_empty(parent, name);
    if (!stream) return false;
    const int folder = ::dirfd(stream.get());
    errno = 0;
    while (const dirent* entry = ::readdir(stream.get())) {
        const std::string_view child(entry->d_name);
        if (child == "." || child == "..") continue;
        bool is_folder = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat status {};
            if (::fstatat(folder, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) return false;
            is_folder = S_ISDIR(status.st_mode);
        }
        if (!(is_folder ? remove_tree(folder, entry->d_name) : ::unlinkat(folder, entry->d_name, 0) == 0)) {
            return false;
        }
        errno = 0;
    }
    return errno == 0 && ::unlinkat(parent, name, AT_REMOVEDIR) == 0;
}

namespace {

// A folder is renamed to a temporary name before its contents go, so that no
// half-removed tree ever stands under a backup's name.
bool remove_entry(int folder, const std::string& name) {
    // Linux refuses to unlink a folder with EISDIR.
    if (::unlinkat(folder, name.c_str(), 0) == 0) return true;
    if (errno != EISDIR && errno != EPERM) return false;
    struct stat status {};
    if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (!S_ISDIR(status.st_mode)) return failed_with(EPERM);
    std::string temporary = name;
    if (!rename_to_temporary(folder, temporary, false)) return false;
    forget_excludes(folder, name);
    return remove_tree(folder, temporary.c_str());
}

}  // namespace

}  // namespace posix

namespace platform {

std::size_t remove_backups(std::span<const std::string> paths, std::span<const std::string> records) {
    using namespace posix;
    FolderTable folders;
    std::vector<const Folder*> changed;
    std::size_t removed = 0;
    for (; removed < paths.size(); ++removed) {
        const auto [folder_path, name] = split_path(paths[removed]);
        const Folder* folder = folders.find(folder_path);
        // Its lines leave the record first: a backup may stand unrecorded
        // for a moment, but no record names one that is gone.
        std::vector<RecordLine> before;
        if (folder == nullptr || !change_record(folder->fd.get(), records[removed], {name}, {}, before)) break;
        if (!remove_entry(folder->fd.get(), name)) {
            const ErrnoKeeper keep;
            write_record(folder->fd.get(), records[removed], before);
            break;
        }
        if (changed.empty() || changed.back() != folder) changed.push_back(folder);
    }
    const int error = removed < paths.size() ? errno : 0;
    // The removals made before a failure are flushed all the same; where
    // only that flush failed, every backup is gone and the error tells.
    const bool flushed = flush_folders(changed);
    if (error != 0 || flushed) errno = error;
    return removed;
}

}  // namespace platform
