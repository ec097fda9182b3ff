// The new files that copies are written into, and how a finished copy takes
// its name: in one step, replacing only where asked.
#include "platform/posix/internal.h"

namespace posix {

namespace {

// Links a file that has no name into the folder: by its descriptor where the
// process may, else through /proc.
Outcome<Naming> link_unnamed(int fd, int folder, const char* name) {
    if (::linkat(fd, "", folder, name, AT_EMPTY_PATH) == 0) return Naming::named;
    if (errno != ENOENT && errno != EPERM) return call_error();
    const std::string handle = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, handle.c_str(), folder, name, AT_SYMLINK_FOLLOW) == 0) return Naming::named;
    if (errno == ENOENT || errno == EPERM) return Naming::not_permitted;
    return call_error();
}

bool made_by_this_run(int folder, const std::string& name, const MadeFiles& made) {
    struct stat status {};
    return ::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
           made.contains({status.st_dev, status.st_ino});
}

}  // namespace

Outcome<StagedFile> create_named(const Folder& folder) {
    for (int i = 0; i < temporary_name_tries; ++i) {
        std::string name = temporary_name();
        FileDescriptor fd(::openat(folder.fd.get(), name.c_str(),
                                   O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600));
        if (fd.valid()) return StagedFile(std::move(fd), folder.fd.get(), std::move(name));
        if (errno != EEXIST) return call_error();
    }
    return error_of(EEXIST);
}

Outcome<StagedFile> create_staged(const Folder& folder) {
    FileDescriptor fd(::openat(folder.fd.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (fd.valid()) return StagedFile(std::move(fd), folder.fd.get(), {});
    if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) return create_named(folder);
    return call_error();
}

Error rename_without_replacing(int from_folder, const char* from, int to_folder, const char* to) {
#ifdef RENAME_NOREPLACE
    if (::renameat2(from_folder, from, to_folder, to, RENAME_NOREPLACE) == 0) return {};
    if (!flag_unsupported(errno)) return call_error();
#endif
    if (::linkat(from_folder, from, to_folder, to, 0) == 0) {
        if (::unlinkat(from_folder, from, 0) == 0) return {};
        const Error failed = call_error();
        ::unlinkat(to_folder, to, 0);
        return failed;
    }
    // A file system without hard links (exFAT and FAT through FUSE): a look,
    // then a plain rename, which replaces only a name taken in between. Not
    // for a folder: FAT through FUSE empties a folder that it renames.
    const Error refused = call_error();
    if (refused.code != EPERM && !call_unsupported(refused.code)) return refused;
    struct stat status {};
    if (::fstatat(from_folder, from, &status, AT_SYMLINK_NOFOLLOW) != 0) return call_error();
    if (S_ISDIR(status.st_mode)) return refused;
    if (::fstatat(to_folder, to, &status, AT_SYMLINK_NOFOLLOW) == 0) return error_of(EEXIST);
    if (errno != ENOENT) return call_error();
    if (::renameat(from_folder, from, to_folder, to) != 0) return call_error();
    return {};
}

// A file without a name that is to replace another is linked under a fresh
// temporary name first, which is then renamed over the target.
Outcome<Naming> take_name(StagedFile& staged, const Folder& folder, const std::string& name, bool replace,
                          const MadeFiles& made) {
    const int at = folder.fd.get();
    if (!staged.name().empty()) {
        if (replace && made_by_this_run(at, name, made)) return error_of(EEXIST);
        if (replace) {
            if (::renameat(at, staged.name().c_str(), at, name.c_str()) != 0) return call_error();
        } else if (const Error refused = rename_without_replacing(at, staged.name().c_str(), at, name.c_str())) {
            return refused;
        }
        staged.handed_on();
        return Naming::named;
    }
    const Outcome<Naming> linked = link_unnamed(staged.fd(), at, name.c_str());
    if (linked.error != EEXIST || !replace) return linked;
    if (made_by_this_run(at, name, made)) return linked;
    for (int i = 0; i < temporary_name_tries; ++i) {
        const std::string temporary = temporary_name();
        const Outcome<Naming> aside = link_unnamed(staged.fd(), at, temporary.c_str());
        if (!aside.failed() && aside.value == Naming::named) {
            if (::renameat(at, temporary.c_str(), at, name.c_str()) == 0) return Naming::named;
            const Error failed = call_error();
            ::unlinkat(at, temporary.c_str(), 0);
            return failed;
        }
        // Only a name that another process took in the meantime is tried
        // again; where no link is permitted, the caller names a copy instead.
        if (aside.error != EEXIST) return aside;
    }
    return error_of(EEXIST);
}

}  // namespace posix
