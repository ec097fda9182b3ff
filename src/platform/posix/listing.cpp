// Reading what stands in the backup folders, and comparing two files: a
// file's backups are found by their names.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>
#include <linux/magic.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/internal.h"
#include "snapshot/changes.h"
#include "snapshot/exclude.h"

namespace posix {

Outcome<FolderStream> open_stream(int folder, const char* name) {
    const int fd = ::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return call_error();
    FolderStream stream(::fdopendir(fd));
    if (!stream) {
        const Error failed = call_error();
        ::close(fd);
        return failed;
    }
    return stream;
}

bool holds_cache_tag(int parent, const char* name) {
    const FileDescriptor folder(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.valid()) return false;
    const std::string tag_name(cache_tag_name);
    const FileDescriptor tag(::openat(folder.get(), tag_name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    std::array<char, cache_tag_signature.size()> start{};
    const ssize_t got = tag.valid() ? ::pread(tag.get(), start.data(), start.size(), 0) : -1;
    return got > 0 && marks_a_cache(std::string_view(start.data(), static_cast<std::size_t>(got)));
}

bool left_out(int parent, const char* name, const struct stat& status, std::string_view path,
              std::span<const std::string> excludes) {
    const bool folder = S_ISDIR(status.st_mode);
    return excluded(excludes, path, folder) || (folder && holds_cache_tag(parent, name));
}

platform::EntryStatus status_of(const struct stat& status) {
    using platform::EntryKind;
    const EntryKind kind = S_ISDIR(status.st_mode)                              ? EntryKind::folder
                           : S_ISREG(status.st_mode) || S_ISLNK(status.st_mode) ? EntryKind::file
                                                                                : EntryKind::other;
    return platform::EntryStatus{kind,
                                 status.st_uid,
                                 hundredths_of(status.st_ctim),
                                 local_time_of(status.st_ctim),
                                 S_ISLNK(status.st_mode),
                                 S_ISREG(status.st_mode) ? static_cast<std::uint64_t>(status.st_size) : 0};
}

namespace {

// Reads as much as there is, up to the size; the count read is short only
// at the end of the file.
Outcome<std::size_t> read_at(int fd, char* data, std::size_t size, off_t at) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t read = ::pread(fd, data + got, size - got, at + static_cast<off_t>(got));
        if (read == 0) break;
        if (read < 0) {
            if (errno == EINTR) continue;
            return call_error();
        }
        got += static_cast<std::size_t>(read);
    }
    return got;
}

Error open_regular(const std::string& path, FileDescriptor& fd, struct stat& status, bool backup = false) {
    const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
    fd = FileDescriptor(backup ? open_untouched(AT_FDCWD, path.c_str(), flags) : ::open(path.c_str(), flags));
    if (!fd.valid() || ::fstat(fd.get(), &status) != 0) return call_error();
    if (!S_ISREG(status.st_mode)) return error_of(EINVAL);
    return {};
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
Outcome<bool> bytes_equal(int first, int second, Hashed* first_digest) {
    ::posix_fadvise(first, 0, 0, POSIX_FADV_SEQUENTIAL);
    ::posix_fadvise(second, 0, 0, POSIX_FADV_SEQUENTIAL);
    constexpr std::size_t chunk = std::size_t{1} << 18;
    std::vector<char> these(chunk);
    std::vector<char> those(chunk);
    SHA256_CTX context;
    SHA256_Init(&context);
    for (off_t at = 0;;) {
        const Outcome<std::size_t> read = read_at(first, these.data(), these.size(), at);
        if (read.failed()) return Error{read.error};
        const Outcome<std::size_t> read_too = read_at(second, those.data(), those.size(), at);
        if (read_too.failed()) return Error{read_too.error};
        const std::size_t got = read.value;
        const std::size_t got_too = read_too.value;
        if (got != got_too || std::memcmp(these.data(), those.data(), got) != 0) return false;
        if (first_digest != nullptr) SHA256_Update(&context, these.data(), got);
        at += static_cast<off_t>(got);
        if (got < these.size()) {
            if (first_digest != nullptr) {
                SHA256_Final(first_digest->digest.data(), &context);
                first_digest->size = static_cast<std::uint64_t>(at);
            }
            return true;
        }
    }
}

// The type /proc/self/mountinfo gives the mount of a device ("fuse.sshfs",
// "fuseblk"): its third field is the device, and the type follows " - ".
Outcome<std::string> mount_type_of(dev_t device) {
    const FileDescriptor in(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
    if (!in.valid()) return call_error();
    std::string text;
    std::array<char, 1 << 14> chunk{};
    for (ssize_t got; (got = ::read(in.get(), chunk.data(), chunk.size())) != 0;) {
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return call_error();
        text.append(chunk.data(), static_cast<std::size_t>(got));
    }
    const std::string wanted = ' ' + std::to_string(major(device)) + ':' + std::to_string(minor(device)) + ' ';
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string_view line(text.data() + at, end - at);
        const std::size_t field = line.find(wanted);
        const std::size_t dash = line.find(" - ");
        if (field != std::string_view::npos && dash != std::string_view::npos && field < dash &&
            line.find(' ') < field && line.find(' ', line.find(' ') + 1) == field) {
            const std::string_view rest = line.substr(dash + 3);
            return std::string(rest.substr(0, rest.find(' ')));
        }
        at = end + 1;
    }
    return error_of(ENOENT);
}

int open_untouched(int at, const char* name, int flags) {
    const int fd = ::openat(at, name, flags | O_NOATIME);
    // O_NOATIME is for the file's owner, and for root.
    return fd >= 0 || errno != EPERM ? fd : ::openat(at, name, flags);
}

Error sorted_names(int folder, std::vector<std::string>& names) {
    names.clear();
    const Outcome<FolderStream> stream = open_stream(folder, ".");
    if (stream.failed()) return Error{stream.error};
    for (;;) {
        const Outcome<const dirent*> next = next_entry(stream.value.get());
        if (next.failed()) return Error{next.error};
        if (next.value == nullptr) break;
        names.emplace_back(next.value->d_name);
    }
    std::sort(names.begin(), names.end());
    return {};
}

using Attributes = std::vector<std::pair<std::string, std::vector<char>>>;

// An open file's extended attributes (its ACL among them) in name order:
// none where its file system has none; false where they cannot be read.
Error attributes_of(int fd, Attributes& attributes) {
    std::vector<char> names;
    if (const Error listed = read_sized([&](char* list, std::size_t size) { return ::flistxattr(fd, list, size); },
                                        names)) {
        return listed.code == EOPNOTSUPP ? Error{} : listed;
    }
    for (std::size_t at = 0; at < names.size(); at += std::strlen(&names[at]) + 1) {
        const char* name = &names[at];
        std::vector<char> value;
        if (const Error read =
                read_sized([&](char* data, std::size_t size) { return ::fgetxattr(fd, name, data, size); }, value)) {
            return read;
        }
        attributes.emplace_back(name, std::move(value));
    }
    std::sort(attributes.begin(), attributes.end());
    return {};
}

Outcome<bool> same_attributes(int one, int other) {
    Attributes these;
    Attributes those;
    if (const Error failed = attributes_of(one, these)) return failed;
    if (const Error failed = attributes_of(other, those)) return failed;
    return these == those;
}

namespace {

// A tree's comparison with a backup of it, folder by folder.
struct ChangeWalk {
    bool permissions;
    std::span<const std::string> excludes;
    dev_t device;     // of the tree as it is: folders of other file systems are not entered
    bool first_only;  // where only whether anything changed is asked
    std::vector<platform::TreeChange>& changes;
};

struct Named {
    std::string name;
    struct stat status;
};

// The entries of an open folder that a snapshot takes, in name order.
Error entries_taken(int folder, const std::string& prefix, const ChangeWalk& walk, std::vector<Named>& entries) {
    std::vector<std::string> names;
    if (const Error failed = sorted_names(folder, names)) return failed;
    for (std::string& name : names) {
        struct stat status {};
        if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return call_error();
        if (left_out(folder, name.c_str(), status, prefix + name, walk.excludes)) continue;
        entries.push_back({std::move(name), status});
    }
    return {};
}

platform::TreeChange change_of(char mark, const std::string& path, const struct stat& status) {
    const platform::EntryStatus entry = status_of(status);
    return {mark, path, entry.kind, entry.link, entry.size};
}

// What changed of an entry in both trees: 'M' its kind or contents, 'm' its
// permission bits, owner, group, link destination or attributes, else none.
EntryFacts facts_of(const struct stat& status) {
    const mode_t kind = status.st_mode & S_IFMT;
    const EntryType type = kind == S_IFREG                    ? EntryType::file
                           : kind == S_IFDIR                  ? EntryType::folder
                           : kind == S_IFLNK                  ? EntryType::link
                           : kind == S_IFCHR || kind == S_IFBLK ? EntryType::device
                                                              : EntryType::other;
    return {type, static_cast<std::uint32_t>(status.st_mode & 07777), status.st_uid, status.st_gid,
            type == EntryType::device ? static_cast<std::uint64_t>(status.st_rdev) : 0};
}

// Reads what the mark of an entry in both trees rests on, its status aside:
// a link's destination, a file's bytes, and where permissions are compared
// the attributes of a file or folder.
Error entry_change(int backup, int current, const Named& was, const Named& is, const ChangeWalk& walk, char& mark,
                  FileDescriptor& was_open, FileDescriptor& is_open) {
    const EntryFacts one = facts_of(was.status);
    const EntryFacts other = facts_of(is.status);
    EntryReadings read;
    if (!kind_changed(one, other) && one.type == EntryType::link) {
        std::string destination;
        std::string other_destination;
        if (const Error failed = read_link(backup, was.name.c_str(), was.status.st_size, destination)) return failed;
        if (const Error failed = read_link(current, is.name.c_str(), is.status.st_size, other_destination)) {
            return failed;
        }
        read.same_destination = destination == other_destination;
    } else if (!kind_changed(one, other) && (one.type == EntryType::file || one.type == EntryType::folder)) {
        const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
        was_open = FileDescriptor(open_untouched(backup, was.name.c_str(), flags));
        if (!was_open.valid()) return call_error();
        is_open = FileDescriptor(::openat(current, is.name.c_str(), flags));
        if (!is_open.valid()) return call_error();
        if (one.type == EntryType::file && was.status.st_size == is.status.st_size) {
            const Outcome<bool> same = bytes_equal(was_open.get(), is_open.get());
            if (same.failed()) return Error{same.error};
            read.same_bytes = same.value;
        } else if (one.type == EntryType::file) {
            read.same_bytes = false;
        }
        if (read.same_bytes && walk.permissions) {
            const Outcome<bool> same = same_attributes(was_open.get(), is_open.get());
            if (same.failed()) return Error{same.error};
            read.same_attributes = same.value;
        }
    }
    mark = change_mark(one, other, read, walk.permissions);
    return {};
}

// Compares two open folders, entries taken by name order.
Error compare_folders(int backup, int current, const std::string& prefix, ChangeWalk& walk) {
    std::vector<Named> was;
    std::vector<Named> is;
    if (const Error failed = entries_taken(backup, prefix, walk, was)) return failed;
    if (const Error failed = entries_taken(current, prefix, walk, is)) return failed;
    std::size_t i = 0;
    std::size_t j = 0;
    while ((i < was.size() || j < is.size()) && !(walk.first_only && !walk.changes.empty())) {
        const int order = i == was.size() ? 1 : j == is.size() ? -1 : was[i].name.compare(is[j].name);
        if (order < 0) {
            walk.changes.push_back(change_of('-', prefix + was[i].name, was[i].status));
            ++i;
            continue;
        }
        if (order > 0) {
            walk.changes.push_back(change_of('+', prefix + is[j].name, is[j].status));
            ++j;
            continue;
        }
        char mark = 0;
        FileDescriptor was_open;
        FileDescriptor is_open;
        if (const Error failed = entry_change(backup, current, was[i], is[j], walk, mark, was_open, is_open)) {
            return failed;
        }
        if (mark != 0) walk.changes.push_back(change_of(mark, prefix + is[j].name, is[j].status));
        if (mark != 'M' && S_ISDIR(is[j].status.st_mode) && is[j].status.st_dev == walk.device) {
            if (const Error failed = compare_folders(was_open.get(), is_open.get(), prefix + is[j].name + '/', walk)) {
                return failed;
            }
        }
        ++i;
        ++j;
    }
    return {};
}

// A lookup of a name that is not there costs about as much as reading some
// thirty entries of a folder: where many names are asked of a folder of few
// entries, one read of it answers for them all.
constexpr std::size_t names_worth_a_read = 16;
constexpr off_t folder_bytes_per_name = 256;

std::string ascii_lower(std::string_view name) {
    std::string lower(name);
    std::ranges::transform(lower, lower.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
    return lower;
}

// Whether any of the names stands in the folder, told by one read of it;
// none where a lookup of each is cheaper or the folder cannot be read.
// Names that differ only in ASCII case count as the same, as they do on a
// file system that ignores case.
std::optional<bool> any_name_read(const std::string& folder, std::span<const std::string> names) {
    if (names.size() < names_worth_a_read) return std::nullopt;
    const Outcome<FolderStream> stream = open_stream(AT_FDCWD, folder.c_str());
    // No folder, no names in it: the first run into a new backup folder
    // looks up none of them.
    if (stream.error == ENOENT) return false;
    struct stat status {};
    if (stream.failed() || ::fstat(::dirfd(stream.value.get()), &status) != 0 ||
        status.st_size > static_cast<off_t>(names.size()) * folder_bytes_per_name) {
        return std::nullopt;
    }
    std::unordered_set<std::string> wanted;
    for (const std::string& name : names) wanted.insert(ascii_lower(name));
    for (;;) {
        const Outcome<const dirent*> next = next_entry(stream.value.get());
        if (next.failed()) return std::nullopt;
        if (next.value == nullptr) return false;
        if (wanted.contains(ascii_lower(next.value->d_name))) return true;
    }
}

}  // namespace

}  // namespace posix

namespace platform {

bool any_path_exists(std::span<const std::string> paths) {
    std::map<std::string, std::vector<std::string>> names_in_folder;
    for (const std::string& path : paths) {
        auto [folder, name] = posix::split_path(path);
        names_in_folder[std::move(folder)].push_back(std::move(name));
    }
    for (const auto& [folder, names] : names_in_folder) {
        if (const std::optional<bool> read = posix::any_name_read(folder, names)) {
            if (*read) return true;
            continue;
        }
        for (const std::string& name : names) {
            std::string path = folder;
            (path += '/') += name;
            struct stat status {};
            if (::lstat(path.c_str(), &status) == 0) return true;
        }
    }
    return false;
}

// A name the folder's listing holds stands there where the folder may be
// searched; any other is looked up by itself, which tells why it cannot be.
std::vector<ErrorCode> paths_standing(std::span<const std::string> paths) {
    using namespace posix;
    std::vector<ErrorCode> errors(paths.size(), 0);
    std::map<std::string, std::vector<std::size_t>> in_folder;
    for (std::size_t i = 0; i < paths.size(); ++i) in_folder[split_path(paths[i]).first].push_back(i);
    for (const auto& [folder, asked] : in_folder) {
        std::unordered_set<std::string> listed;
        if (asked.size() >= posix::names_worth_a_read && ::faccessat(AT_FDCWD, folder.c_str(), X_OK, AT_EACCESS) == 0) {
            if (const Outcome<FolderStream> stream = open_stream(AT_FDCWD, folder.c_str()); !stream.failed()) {
                for (Outcome<const dirent*> next; !(next = next_entry(stream.value.get())).failed() && next.value;) {
                    listed.insert(next.value->d_name);
                }
            }
        }
        for (const std::size_t i : asked) {
            struct stat status {};
            if (!listed.contains(split_path(paths[i]).second) && ::lstat(paths[i].c_str(), &status) != 0) {
                errors[i] = call_error().code;
            }
        }
    }
    return errors;
}

// Folders below the backup folder are found as backups are made in them:
// never through a link.
Outcome<std::vector<FolderEntry>> folder_entries(const std::string& path,
                                                 const std::function<bool(std::string_view)>& wanted, bool statuses) {
    using namespace posix;
    std::vector<FolderEntry> found;
    FolderTable folders;
    const Outcome<const Folder*> folder = folders.find(path);
    if (folder.error == ENOENT) return found;
    if (folder.failed()) return Error{folder.error};
    if (!folder.value->readable) return error_of(EACCES);
    const int at = folder.value->fd.get();
    const Outcome<FolderStream> stream = open_stream(at, ".");
    if (stream.failed()) return Error{stream.error};
    struct stat own {};
    if (::fstat(at, &own) != 0) return call_error();
    const bool vouches = runner_or_root(own.st_uid) && (own.st_mode & (S_IWGRP | S_IWOTH)) == 0 &&
                         ::fgetxattr(at, access_acl, nullptr, 0) <= 0;
    for (;;) {
        const Outcome<const dirent*> next = next_entry(stream.value.get());
        if (next.failed()) return Error{next.error};
        const dirent* entry = next.value;
        if (entry == nullptr) break;
        const std::string_view name(entry->d_name);
        if (!wanted(name)) continue;
        const unsigned char type = entry->d_type;
        if (vouches && !statuses && (type == DT_REG || type == DT_DIR || type == DT_LNK)) {
            found.push_back({std::string(name), type == DT_DIR ? EntryKind::folder : EntryKind::file, type == DT_LNK});
            continue;
        }
        // Looked at relative to the open folder: one lookup, not a path's.
        struct stat status {};
        if (::fstatat(at, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            // Removed since the folder was read: not there.
            if (errno != ENOENT) return call_error();
            continue;
        }
        const EntryStatus looked = status_of(status);
        found.push_back({std::string(name), looked.kind, looked.link, looked});
    }
    return found;
}

Outcome<std::optional<EntryStatus>> entry_status(const std::string& path, bool follow_link) {
    struct stat status {};
    if ((follow_link ? ::stat(path.c_str(), &status) : ::lstat(path.c_str(), &status)) != 0) {
        if (errno == ENOENT) return std::optional<EntryStatus>();
        return posix::call_error();
    }
    return std::optional(posix::status_of(status));
}

// The status first (kind, permission bits, owner, size), then the bytes.
Outcome<bool> same_file(const std::string& a, const std::string& b, bool permissions) {
    using namespace posix;
    FileDescriptor first;
    FileDescriptor second;
    struct stat one {};
    struct stat other {};
    if (const Error failed = open_regular(a, first, one)) return failed;
    if (const Error failed = open_regular(b, second, other, true)) return failed;
    if (!same_status(one, other, permissions)) return false;
    return bytes_equal(first.get(), second.get());
}

Outcome<std::vector<TreeChange>> tree_changes(const std::string& backup, const std::string& current, bool permissions,
                                              std::span<const std::string> excludes, bool first_only) {
    using namespace posix;
    std::vector<TreeChange> changes;
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    const FileDescriptor was(open_untouched(AT_FDCWD, backup.c_str(), flags));
    if (!was.valid()) return call_error();
    const FileDescriptor is(::open(current.c_str(), flags));
    Named top_was{".", {}};
    Named top_is{".", {}};
    if (!is.valid() || ::fstat(was.get(), &top_was.status) != 0 || ::fstat(is.get(), &top_is.status) != 0) {
        return call_error();
    }
    ChangeWalk walk{permissions, excludes, top_is.status.st_dev, first_only, changes};
    // The top folders' own permission bits, owner and attributes.
    char mark = 0;
    FileDescriptor was_open;
    FileDescriptor is_open;
    if (const Error failed = entry_change(was.get(), is.get(), top_was, top_is, walk, mark, was_open, is_open)) {
        return failed;
    }
    if (mark != 0) changes.push_back(change_of(mark, ".", top_is.status));
    if (const Error failed = compare_folders(was.get(), is.get(), "", walk)) return failed;
    std::sort(changes.begin(), changes.end(),
              [](const TreeChange& a, const TreeChange& b) { return a.path < b.path; });
    return changes;
}

// The file systems of POSIX systems keep what they are given; FAT, exFAT
// and NTFS show their own, and of FUSE file systems only sshfs keeps them.
// Told without writing anything: a command that only reads writes nothing.
Outcome<bool> keeps_permissions(const std::string& folder) {
    using namespace posix;
    struct statfs system {};
    struct stat status {};
    if (::statfs(folder.c_str(), &system) != 0 || ::stat(folder.c_str(), &status) != 0) return call_error();
    constexpr long exfat_magic = 0x2011BAB0;
    constexpr long ntfs3_magic = 0x7366746E;
    constexpr long ntfs_magic = 0x5346544E;
    constexpr std::array<long, 4> own_permissions{MSDOS_SUPER_MAGIC, exfat_magic, ntfs3_magic, ntfs_magic};
    const auto type = static_cast<long>(system.f_type);
    if (std::find(own_permissions.begin(), own_permissions.end(), type) != own_permissions.end()) return false;
    if (type != FUSE_SUPER_MAGIC) return true;
    const Outcome<std::string> mount_type = mount_type_of(status.st_dev);
    if (mount_type.failed()) return Error{mount_type.error};
    return mount_type.value == "fuse.sshfs";
}

}  // namespace platform
