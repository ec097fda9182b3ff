// Reading what stands in the backup folders, and comparing two files: a
// file's backups are found by their names.
#include <linux/magic.h>
#include <sys/statfs.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace posix {

FolderStream open_stream(int folder, const char* name) {
    const int fd = ::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return nullptr;
    FolderStream stream(::fdopendir(fd));
    if (!stream) {
        const ErrnoKeeper keep;
        ::close(fd);
    }
    return stream;
}

platform::EntryStatus status_of(const struct stat& status) {
    using platform::EntryKind;
    const EntryKind kind = S_ISDIR(status.st_mode)                              ? EntryKind::folder
                           : S_ISREG(status.st_mode) || S_ISLNK(status.st_mode) ? EntryKind::file
                                                                                : EntryKind::other;
    return platform::EntryStatus{kind, status.st_uid, hundredths_of(status.st_ctim), local_time_of(status.st_ctim)};
}

namespace {

// Reads as much as there is, up to the size; the count read is short only
// at the end of the file.
bool read_at(int fd, char* data, std::size_t size, off_t at, std::size_t& got) {
    got = 0;
    while (got < size) {
        const ssize_t read = ::pread(fd, data + got, size - got, at + static_cast<off_t>(got));
        if (read == 0) return true;
        if (read < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        got += static_cast<std::size_t>(read);
    }
    return true;
}

bool open_regular(const std::string& path, FileDescriptor& fd, struct stat& status) {
    fd = FileDescriptor(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid() || ::fstat(fd.get(), &status) != 0) return false;
    return S_ISREG(status.st_mode) || failed_with(EINVAL);
}

// Whether two entries are of one kind and have the same permission bits and
// owner, where those are compared (and files the same size, devices the
// same number).
bool same_status(const struct stat& one, const struct stat& other, bool permissions) {
    const bool same_permissions =
        one.st_mode == other.st_mode && one.st_uid == other.st_uid && one.st_gid == other.st_gid;
    return (one.st_mode & S_IFMT) == (other.st_mode & S_IFMT) && (!permissions || same_permissions) &&
           (!S_ISREG(one.st_mode) || one.st_size == other.st_size) &&
           (!(S_ISCHR(one.st_mode) || S_ISBLK(one.st_mode)) || one.st_rdev == other.st_rdev);
}

}  // namespace

// A fixed amount at a time.
bool same_bytes(int first, int second) {
    ::posix_fadvise(first, 0, 0, POSIX_FADV_SEQUENTIAL);
    ::posix_fadvise(second, 0, 0, POSIX_FADV_SEQUENTIAL);
    static std::array<char, 1 << 20> these;
    static std::array<char, 1 << 20> those;
    for (off_t at = 0;;) {
        std::size_t got = 0;
        std::size_t got_too = 0;
        if (!read_at(first, these.data(), these.size(), at, got) ||
            !read_at(second, those.data(), those.size(), at, got_too)) {
            return false;
        }
        if (got != got_too || std::memcmp(these.data(), those.data(), got) != 0) return false;
        if (got < these.size()) return true;
        at += static_cast<off_t>(got);
    }
}

namespace {

// The names in an open folder, in order; false where it cannot be read.
bool sorted_names(int folder, std::vector<std::string>& names) {
    const FolderStream stream = open_stream(folder, ".");
    if (!stream) return false;
    names.clear();
    errno = 0;
    while (const dirent* entry = ::readdir(stream.get())) {
        const std::string_view name(entry->d_name);
        if (name != "." && name != "..") names.emplace_back(name);
    }
    if (errno != 0) return false;
    std::sort(names.begin(), names.end());
    return true;
}

// Whether two open folders hold the same entries, those of folders inside
// them too (where the first's are on the file system given).
bool same_entries(int first, int second, dev_t device, bool permissions) {
    std::vector<std::string> names;
    std::vector<std::string> others;
    if (!sorted_names(first, names) || !sorted_names(second, others) || names != others) return false;
    for (const std::string& name : names) {
        struct stat one {};
        struct stat other {};
        if (::fstatat(first, name.c_str(), &one, AT_SYMLINK_NOFOLLOW) != 0 ||
            ::fstatat(second, name.c_str(), &other, AT_SYMLINK_NOFOLLOW) != 0 || !same_status(one, other, permissions)) {
            return false;
        }
        if (S_ISLNK(one.st_mode)) {
            std::string destination;
            std::string other_destination;
            if (!read_link(first, name.c_str(), one.st_size, destination) ||
                !read_link(second, name.c_str(), other.st_size, other_destination) ||
                destination != other_destination) {
                return false;
            }
        } else if (S_ISREG(one.st_mode) || (S_ISDIR(one.st_mode) && one.st_dev == device)) {
            const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
            const FileDescriptor these(::openat(first, name.c_str(), flags));
            const FileDescriptor those(::openat(second, name.c_str(), flags));
            if (!these.valid() || !those.valid()) return false;
            if (!(S_ISREG(one.st_mode) ? same_bytes(these.get(), those.get())
                                       : same_entries(these.get(), those.get(), device, permissions))) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace

}  // namespace posix

namespace platform {

// Folders below the backup folder are found as backups are made in them:
// never through a link.
bool folder_entries(const std::string& path, const std::function<bool(std::string_view)>& wanted,
                    std::vector<FolderEntry>& found) {
    using namespace posix;
    found.clear();
    FolderTable folders;
    const Folder* folder = folders.find(path);
    if (folder == nullptr) return errno == ENOENT && succeeded();
    if (!folder->readable) return failed_with(EACCES);
    const FolderStream stream = open_stream(folder->fd.get(), ".");
    if (!stream) return false;
    errno = 0;
    while (const dirent* entry = ::readdir(stream.get())) {
        const std::string_view name(entry->d_name);
        if (name == "." || name == ".." || !wanted(name)) {
            errno = 0;
            continue;
        }
        // Looked at relative to the open folder: one lookup, not a path's.
        struct stat status {};
        if (::fstatat(folder->fd.get(), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            // Removed since the folder was read: not there.
            if (errno != ENOENT) return false;
        } else {
            found.push_back({std::string(name), status_of(status)});
        }
        errno = 0;
    }
    return errno == 0 && succeeded();
}

std::optional<EntryStatus> entry_status(const std::string& path, bool follow_link) {
    struct stat status {};
    if ((follow_link ? ::stat(path.c_str(), &status) : ::lstat(path.c_str(), &status)) != 0) {
        if (errno == ENOENT) posix::succeeded();
        return std::nullopt;
    }
    return posix::status_of(status);
}

// The status first (kind, permission bits, owner, size), then the bytes.
bool same_file(const std::string& a, const std::string& b, bool permissions) {
    using namespace posix;
    FileDescriptor first;
    FileDescriptor second;
    struct stat one {};
    struct stat other {};
    if (!open_regular(a, first, one) || !open_regular(b, second, other)) return false;
    return same_status(one, other, permissions) && same_bytes(first.get(), second.get());
}

bool same_tree(const std::string& a, const std::string& b, bool permissions) {
    using namespace posix;
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    const FileDescriptor first(::open(a.c_str(), flags));
    const FileDescriptor second(::open(b.c_str(), flags));
    struct stat one {};
    struct stat other {};
    return first.valid() && second.valid() && ::fstat(first.get(), &one) == 0 &&
           ::fstat(second.get(), &other) == 0 && same_status(one, other, permissions) &&
           same_entries(first.get(), second.get(), one.st_dev, permissions);
}

// The file systems of POSIX systems keep what they are given; of the rest
// (FUSE, FAT, NTFS), a file made and given a mode tells.
bool keeps_permissions(const std::string& folder) {
    using namespace posix;
    struct statfs system {};
    if (::statfs(folder.c_str(), &system) != 0) return false;
    constexpr std::array<long, 6> posix_systems{EXT4_SUPER_MAGIC, XFS_SUPER_MAGIC,       BTRFS_SUPER_MAGIC,
                                                TMPFS_MAGIC,      OVERLAYFS_SUPER_MAGIC, F2FS_SUPER_MAGIC};
    if (std::find(posix_systems.begin(), posix_systems.end(), static_cast<long>(system.f_type)) !=
        posix_systems.end()) {
        return succeeded();
    }
    const Folder opened = open_folder(folder);
    if (!opened.fd.valid()) return false;
    const StagedFile probe = create_named(opened);
    constexpr mode_t asked = S_IRUSR | S_IWGRP;
    struct stat shown {};
    const bool kept = probe.valid() && ::fchmod(probe.fd(), asked) == 0 && ::fstat(probe.fd(), &shown) == 0 &&
                      (shown.st_mode & 07777) == asked;
    // A file system that refuses the mode keeps none: that is an answer, not a failure.
    succeeded();
    return kept;
}

}  // namespace platform
