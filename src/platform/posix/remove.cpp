// Removing backups that are no longer to be kept: a file, or a folder as a
// whole tree, never following a link inside it.
#include <vector>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace posix {

namespace {

// A folder of the runner's own that grants its owner too little to be
// emptied (a copy of a read-only folder) is opened up first.
Outcome<FolderStream> open_to_empty(int parent, const char* name) {
    Outcome<FolderStream> stream = open_stream(parent, name);
    struct stat status {};
    if (stream.error == EACCES && ::fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(status.st_mode) && status.st_uid == ::geteuid() && ::fchmodat(parent, name, S_IRWXU, 0) == 0) {
        stream = open_stream(parent, name);
    }
    if (!stream.failed() && ::fstat(::dirfd(stream.value.get()), &status) == 0 &&
        (status.st_mode & S_IRWXU) != S_IRWXU && status.st_uid == ::geteuid()) {
        ::fchmod(::dirfd(stream.value.get()), S_IRWXU);
    }
    return stream;
}

}  // namespace

Error remove_tree(int parent, const char* name) {
    const Outcome<FolderStream> stream = open_to_empty(parent, name);
    if (stream.failed()) return Error{stream.error};
    const int folder = ::dirfd(stream.value.get());
    for (;;) {
        const Outcome<const dirent*> next = next_entry(stream.value.get());
        if (next.failed()) return Error{next.error};
        const dirent* entry = next.value;
        if (entry == nullptr) break;
        bool is_folder = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat status {};
            if (::fstatat(folder, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) return call_error();
            is_folder = S_ISDIR(status.st_mode);
        }
        if (is_folder) {
            if (const Error failed = remove_tree(folder, entry->d_name)) return failed;
        } else if (::unlinkat(folder, entry->d_name, 0) != 0) {
            return call_error();
        }
    }
    if (::unlinkat(parent, name, AT_REMOVEDIR) != 0) return call_error();
    return {};
}

namespace {

// A folder is renamed to a temporary name before its contents go, so that no
// half-removed tree ever stands under a backup's name.
Error remove_entry(int folder, const std::string& name) {
    // Linux refuses to unlink a folder with EISDIR.
    if (::unlinkat(folder, name.c_str(), 0) == 0) return {};
    const Error refused = call_error();
    if (refused.code != EISDIR && refused.code != EPERM) return refused;
    struct stat status {};
    if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return call_error();
    if (!S_ISDIR(status.st_mode)) return error_of(EPERM);
    std::string temporary = name;
    if (const Error failed = rename_to_temporary(folder, temporary, false)) return failed;
    forget_excludes(folder, name);
    return remove_tree(folder, temporary.c_str());
}

}  // namespace

}  // namespace posix

namespace platform {

Batch remove_backups(std::span<const std::string> paths, std::span<const std::string> records) {
    using namespace posix;
    FolderTable folders;
    std::vector<const Folder*> changed;
    Batch batch;
    for (; batch.made < paths.size(); ++batch.made) {
        const auto [folder_path, name] = split_path(paths[batch.made]);
        const Outcome<const Folder*> folder = folders.find(folder_path);
        if (folder.failed()) {
            batch.error = folder.error;
            break;
        }
        const int at = folder.value->fd.get();
        // Its lines leave the record first: a backup may stand unrecorded
        // for a moment, but no record names one that is gone.
        std::vector<RecordLine> before;
        if (const Error failed = change_record(at, records[batch.made], {name}, {}, before)) {
            batch.error = failed.code;
            break;
        }
        if (const Error failed = remove_entry(at, name)) {
            batch.error = failed.code;
            static_cast<void>(write_record(at, records[batch.made], before));
            break;
        }
        if (changed.empty() || changed.back() != folder.value) changed.push_back(folder.value);
    }
    // The removals made before a failure are flushed all the same; where
    // only that flush failed, every backup is gone and the error tells.
    const Error flushed = flush_folders(changed);
    if (batch.error == 0) batch.error = flushed.code;
    return batch;
}

}  // namespace platform
