// A path's versions inside snapshots: found, compared, held for diff and
// written out, each reached from its backup folder without following a link.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <linux/openat2.h>
#include <openssl/sha.h>
#include <sys/syscall.h>

#include <array>
#include <ctime>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace posix {

namespace {

// One lookup of the whole path where the kernel has openat2 (Linux 5.6),
// else a part at a time, each folder opened without following a link.
int open_no_links(int folder, const std::string& path, int flags) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags | O_NOFOLLOW);
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_BENEATH;
    const long fd = ::syscall(SYS_openat2, folder, path.c_str(), &how, sizeof how);
    // A sandbox that does not know the call may refuse it rather than deny it.
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return static_cast<int>(fd);
    FileDescriptor at;
    std::size_t start = 0;
    for (std::size_t slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1) {
        const std::string part = path.substr(start, slash - start);
        // As openat2 refuses to leave the folder, with the same error.
        if (part == "..") {
            errno = EXDEV;
            return -1;
        }
        at = FileDescriptor(::openat(at.valid() ? at.get() : folder, part.c_str(),
                                     O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!at.valid()) return -1;
    }
    return ::openat(at.valid() ? at.get() : folder, path.c_str() + start, flags | O_NOFOLLOW);
}

platform::VersionStatus version_status(const struct stat& status) {
    const platform::EntryStatus entry = status_of(status);
    return {entry.kind,
            entry.link,
            static_cast<std::uint64_t>(status.st_dev),
            static_cast<std::uint64_t>(status.st_ino),
            static_cast<std::uint32_t>(status.st_mode & 07777),
            status.st_uid,
            status.st_gid,
            S_ISREG(status.st_mode) || S_ISLNK(status.st_mode) ? static_cast<std::uint64_t>(status.st_size) : 0};
}

// Whether a lookup found nothing there: no entry, or a file or a link on
// the way, where the path's version would have stood in a folder.
bool nothing_at(ErrorCode error) {
    return error == ENOENT || error == ENOTDIR || error == ELOOP;
}

// The modification time as diff -u writes it: "2026-12-08 13:05:25.990000000 +0100".
std::string diff_time(const timespec& moment) {
    std::tm local{};
    ::localtime_r(&moment.tv_sec, &local);
    std::array<char, 64> text{};
    std::array<char, 16> zone{};
    std::array<char, 16> nanoseconds{};
    std::strftime(text.data(), text.size(), "%Y-%m-%d %H:%M:%S", &local);
    std::strftime(zone.data(), zone.size(), "%z", &local);
    std::snprintf(nanoseconds.data(), nanoseconds.size(), ".%09ld ", moment.tv_nsec);
    return std::string(text.data()) + nanoseconds.data() + zone.data();
}

// The proc name of an open descriptor, for calls that take a path.
std::string path_of(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

}  // namespace

FileDescriptor open_beneath(int folder, const std::string& path, int flags) {
    if ((flags & O_PATH) == 0) {
        const int fd = open_no_links(folder, path, flags | O_NOATIME);
        // O_NOATIME is for the file's owner, and for root.
        if (fd >= 0 || errno != EPERM) return FileDescriptor(fd);
    }
    return FileDescriptor(open_no_links(folder, path, flags));
}

}  // namespace posix

namespace platform {

Outcome<std::vector<std::optional<VersionStatus>>> entries_inside(const std::string& folder,
                                                                  std::span<const std::string> names,
                                                                  const std::string& inside) {
    using namespace posix;
    std::vector<std::optional<VersionStatus>> found(names.size());
    FolderTable folders;
    const Outcome<const Folder*> top = folders.find(folder);
    if (top.error == ENOENT) return found;
    if (top.failed()) return Error{top.error};
    for (std::size_t i = 0; i < names.size(); ++i) {
        struct stat status {};
        if (inside.empty()) {
            if (::fstatat(top.value->fd.get(), names[i].c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT) continue;
                return call_error();
            }
        } else {
            const FileDescriptor entry =
                open_beneath(top.value->fd.get(), names[i] + '/' + inside, O_PATH | O_CLOEXEC);
            if (!entry.valid() && nothing_at(static_cast<ErrorCode>(errno))) continue;
            if (!entry.valid() || ::fstat(entry.get(), &status) != 0) return call_error();
        }
        found[i] = version_status(status);
    }
    return found;
}

Outcome<bool> same_contents(const std::string& folder, const std::string& path, const std::string& other_folder,
                            const std::string& other_path, bool permissions) {
    using namespace posix;
    FolderTable folders;
    const Outcome<const Folder*> one = folders.find(folder);
    if (one.failed()) return Error{one.error};
    const Outcome<const Folder*> other = folders.find(other_folder);
    if (other.failed()) return Error{other.error};
    const FileDescriptor a = open_beneath(one.value->fd.get(), path, O_PATH | O_CLOEXEC);
    if (!a.valid()) return call_error();
    const FileDescriptor b = open_beneath(other.value->fd.get(), other_path, O_PATH | O_CLOEXEC);
    if (!b.valid()) return call_error();
    struct stat first {};
    struct stat second {};
    if (::fstat(a.get(), &first) != 0 || ::fstat(b.get(), &second) != 0) return call_error();
    if ((first.st_mode & S_IFMT) != (second.st_mode & S_IFMT)) return false;
    if (S_ISREG(first.st_mode)) {
        if (first.st_size != second.st_size) return false;
        const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
        const FileDescriptor these = open_beneath(one.value->fd.get(), path, flags);
        if (!these.valid()) return call_error();
        const FileDescriptor those = open_beneath(other.value->fd.get(), other_path, flags);
        if (!those.valid()) return call_error();
        return bytes_equal(these.get(), those.get());
    }
    if (S_ISLNK(first.st_mode)) {
        std::string destination;
        std::string other_destination;
        if (const Error failed = read_link(a.get(), "", first.st_size, destination)) return failed;
        if (const Error failed = read_link(b.get(), "", second.st_size, other_destination)) return failed;
        return destination == other_destination;
    }
    if (S_ISDIR(first.st_mode)) {
        const Outcome<std::vector<TreeChange>> changes =
            tree_changes(path_of(a.get()), path_of(b.get()), permissions, {}, true);
        if (changes.failed()) return Error{changes.error};
        return changes.value.empty();
    }
    return first.st_rdev == second.st_rdev;
}

Outcome<PinnedVersion> pin_version(const std::string& folder, const std::string& path, const std::string& shown) {
    using namespace posix;
    FolderTable folders;
    const Outcome<const Folder*> top = folders.find(folder);
    if (top.failed()) return Error{top.error};
    // Without O_CLOEXEC: a program run (diff) reads it by its number.
    FileDescriptor held = open_beneath(top.value->fd.get(), path, O_RDONLY | O_NONBLOCK);
    // A link is held as itself: nothing reads through it.
    if (!held.valid() && errno == ELOOP) held = open_beneath(top.value->fd.get(), path, O_PATH);
    struct stat status {};
    if (!held.valid() || ::fstat(held.get(), &status) != 0) return call_error();
    PinnedVersion pinned{"/dev/fd/" + std::to_string(held.get()), shown + '\t' + diff_time(status.st_mtim)};
    // Held until the process ends, as the lock's descriptor is.
    held.release();
    return pinned;
}

Error write_version(const std::string& folder, const std::string& path, const std::optional<RecordLine>& recorded) {
    using namespace posix;
    FolderTable folders;
    const Outcome<const Folder*> top = folders.find(folder);
    if (top.failed()) return Error{top.error};
    const FileDescriptor in = open_beneath(top.value->fd.get(), path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat status {};
    if (!in.valid()) return errno == ELOOP ? Error{not_a_file} : call_error();
    if (::fstat(in.get(), &status) != 0) return call_error();
    if (S_ISDIR(status.st_mode)) return error_of(EISDIR);
    if (!S_ISREG(status.st_mode)) return Error{not_a_file};
    ::posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    erase_progress_line();
    SHA256_CTX context;
    SHA256_Init(&context);
    // Small enough to stay in a core's cache while it is hashed and written.
    std::vector<char> buffer(std::size_t{1} << 16);
    std::uint64_t size = 0;
    for (;;) {
        const ssize_t got = ::read(in.get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return call_error();
        if (got == 0) break;
        const auto bytes = static_cast<std::size_t>(got);
        SHA256_Update(&context, buffer.data(), bytes);
        if (const Error failed = write_all(STDOUT_FILENO, {buffer.data(), bytes})) return failed;
        size += bytes;
        bytes_done(bytes);
    }
    Digest digest{};
    SHA256_Final(digest.data(), &context);
    if (recorded && (recorded->digest != digest || recorded->size != size)) return Error{damaged_backup};
    return {};
}

}  // namespace platform
