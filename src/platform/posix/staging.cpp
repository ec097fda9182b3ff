// The new files that copies are written into, and how a finished copy takes
// its name: in one step, replacing only where asked.
#include "platform/posix/internal.h"

namespace posix {

namespace {

// Links a file that has no name into the folder: by its descriptor where the
// process may, else through /proc.
Naming link_unnamed(int fd, int folder, const char* name) {
    if (::linkat(fd, "", folder, name, AT_EMPTY_PATH) == 0) return Naming::named;
    if (errno != ENOENT && errno != EPERM) return Naming::failed;
    const std::string handle = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, handle.c_str(), folder, name, AT_SYMLINK_FOLLOW) == 0) return Naming::named;
    return errno == ENOENT || errno == EPERM ? Naming::not_permitted : Naming::failed;
}

bool made_by_this_run(int folder, const std::string& name, const MadeFiles& made) {
    const ErrnoKeeper keep;
    struct stat status {};
    return ::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
           made.contains({status.st_dev, status.st_ino});
}

}  // namespace

StagedFile create_named(const Folder& folder) {
    for (int i = 0; i < temporary_name_tries; ++i) {
        std::string name = temporary_name();
        FileDescriptor fd(::openat(folder.fd.get(), name.c_str(),
                                   O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600));
        if (fd.valid()) return {std::move(fd), folder.fd.get(), std::move(name)};
        if (errno != EEXIST) break;
    }
    return {FileDescriptor(), folder.fd.get(), {}};
}

StagedFile create_staged(const Folder& folder) {
    StagedFile file(FileDescriptor(::openat(folder.fd.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600)),
                    folder.fd.get(), {});
    if (!file.valid() && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) return create_named(folder);
    return file;
}

bool rename_without_replacing(int from_folder, const char* from, int to_folder, const char* to) {
#ifdef RENAME_NOREPLACE
    if (::renameat2(from_folder, from, to_folder, to, RENAME_NOREPLACE) == 0) return true;
    if (!flag_unsupported(errno)) return false;
#endif
    if (::linkat(from_folder, from, to_folder, to, 0) == 0) {
        if (::unlinkat(from_folder, from, 0) == 0) return true;
        const ErrnoKeeper keep;
        ::unlinkat(to_folder, to, 0);
        return false;
    }
    // A file system without hard links (exFAT and FAT through FUSE): a look,
    // then a plain rename, which replaces only a name taken in between. Not
    // for a folder: FAT through FUSE empties a folder that it renames.
    if (errno != EPERM && !call_unsupported(errno)) return false;
    const int refused = errno;
    struct stat status {};
    if (::fstatat(from_folder, from, &status, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (S_ISDIR(status.st_mode)) return failed_with(refused);
    if (::fstatat(to_folder, to, &status, AT_SYMLINK_NOFOLLOW) == 0) return failed_with(EEXIST);
    return errno == ENOENT && ::renameat(from_folder, from, to_folder, to) == 0;
}

// A file without a name that is to replace another is linked under a fresh
// temporary name first, which is then renamed over the target.
Naming take_name(StagedFile& staged, const Folder& folder, const std::string& name, bool replace,
                 const MadeFiles& made) {
    const int at = folder.fd.get();
    if (!staged.name().empty()) {
        if (replace && made_by_this_run(at, name, made)) {
            failed_with(EEXIST);
            return Naming::failed;
        }
        const bool moved =
            replace ? ::renameat(at, staged.name().c_str(), at, name.c_str()) == 0
                    : rename_without_replacing(at, staged.name().c_str(), at, name.c_str());
        if (!moved) return Naming::failed;
        staged.handed_on();
        return Naming::named;
    }
    const Naming linked = link_unnamed(staged.fd(), at, name.c_str());
    if (linked != Naming::failed || errno != EEXIST || !replace) return linked;
    if (made_by_this_run(at, name, made)) return Naming::failed;
    for (int i = 0; i < temporary_name_tries; ++i) {
        const std::string temporary = temporary_name();
        if (link_unnamed(staged.fd(), at, temporary.c_str()) == Naming::named) {
            if (::renameat(at, temporary.c_str(), at, name.c_str()) == 0) return Naming::named;
            const ErrnoKeeper keep;
            ::unlinkat(at, temporary.c_str(), 0);
            return Naming::failed;
        }
        // Only a name that another process took in the meantime is tried again.
        if (errno != EEXIST) return Naming::failed;
    }
    return Naming::failed;
}

}  // namespace posix
