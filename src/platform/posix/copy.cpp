// A copy of one regular file, whole and faithful: its data to the end of the
// file with the holes kept, one consistent version of it, and its owner,
// attributes, permission bits and times, never granting more than the source.
#include <sys/xattr.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

#include "platform/posix/internal.h"

namespace posix {

namespace {

constexpr off_t end_of_file = std::numeric_limits<off_t>::max();

Error write_all_at(int fd, const char* data, std::size_t size, off_t offset) {
    while (size != 0) {
        const ssize_t written = ::pwrite(fd, data, size, offset);
        if (written < 0) {
            if (errno == EINTR) continue;
            return call_error();
        }
        data += written;
        size -= static_cast<std::size_t>(written);
        offset += written;
    }
    return {};
}

// A large copy is sent to the disk step by step while the rest of it is
// copied, so that the disk is busy during the copy and not only at the flush.
constexpr off_t writeback_step = off_t{1} << 24;

void start_writeback(int to, off_t& unstarted, off_t reached) {
    if (reached - unstarted < writeback_step) return;
    ::sync_file_range(to, unstarted, reached - unstarted, SYNC_FILE_RANGE_WRITE);
    unstarted = reached;
}

// Copies the bytes from an offset up to another, or up to the end of the
// file, to the same offsets of the copy: in the kernel where it can
// (copy_file_range), else through a buffer. Returns the offset reached.
Outcome<off_t> copy_range(int from, int to, off_t at, off_t end, DigestFollower* follower) {
    off_t unstarted = at;
#ifdef __linux__
    for (off_t out = at; at < end;) {
        const auto wanted = static_cast<std::size_t>(std::min(end - at, writeback_step));
        const ssize_t copied = ::copy_file_range(from, &at, to, &out, wanted, 0);
        if (copied > 0) {
            start_writeback(to, unstarted, out);
            bytes_done(static_cast<std::uint64_t>(copied));
            if (follower != nullptr) follower->advance(out);
            continue;
        }
        // The end of the file; where nothing was read at all, a file whose
        // size the system does not report is read on below to be sure.
        if (copied == 0 && at != 0) return at;
        if (copied == 0) break;
        if (errno == EINTR) continue;
        const bool unsupported = errno == EXDEV || errno == ENOSYS || errno == EINVAL ||
                                 errno == EOPNOTSUPP || errno == EBADF;
        if (!unsupported) return call_error();
        break;
    }
#endif
    std::vector<char> buffer;
    while (at < end) {
        buffer.resize(std::size_t{1} << 17);
        const auto wanted = static_cast<std::size_t>(std::min<off_t>(end - at, static_cast<off_t>(buffer.size())));
        const ssize_t got = ::pread(from, buffer.data(), wanted, at);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            return call_error();
        }
        if (const Error failed = write_all_at(to, buffer.data(), static_cast<std::size_t>(got), at)) return failed;
        at += got;
        start_writeback(to, unstarted, at);
        bytes_done(static_cast<std::uint64_t>(got));
        if (follower != nullptr) follower->advance(at);
    }
    return at;
}

// Copies the data from an offset to the end of the file, leaving holes
// unwritten so that a sparse file stays sparse: run by run of data where the
// file has holes. Returns the offset reached (where only a hole is left, its
// start).
Outcome<off_t> copy_data(int from, int to, const struct stat& source, off_t start,
                         DigestFollower* follower = nullptr) {
    // A file with as many blocks as bytes has no holes to look for. The
    // search for one is still made once: ext4, btrfs and tmpfs let it wait
    // for a write in flight, so that the copy starts after that write.
    if (source.st_blocks * 512 >= source.st_size) {
        ::lseek(from, start, SEEK_HOLE);
        return copy_range(from, to, start, end_of_file, follower);
    }
    for (off_t at = start;;) {
        const off_t data = ::lseek(from, at, SEEK_DATA);
        if (data < 0 && errno == ENXIO) return at;
        // Where the file system cannot tell holes (EINVAL), the rest is data.
        if (data < 0 && errno == EINVAL) return copy_range(from, to, at, end_of_file, follower);
        if (data < 0) return call_error();
        const off_t hole = ::lseek(from, data, SEEK_HOLE);
        if (hole < 0) return call_error();
        const Outcome<off_t> reached = copy_range(from, to, data, hole, follower);
        if (reached.failed() || reached.value < hole) return reached;  // or the file became shorter
        at = hole;
    }
}

// How often a file that changes while it is read is copied again before the
// copy gives up, and how often the rest of a growing file is taken.
constexpr int version_tries = 5;
constexpr int growth_tries = 64;

// Copies from this size on are hashed while they are written; smaller ones
// cost less to read back than a thread costs to start.
constexpr off_t followed_size = off_t{8} << 20;

// Copies the source's data as one version of it: the status read before the
// copy and the one read after it must agree, else the file is copied again.
// Where growth is taken (a move, whose source is removed next), a source
// that only grew keeps what was copied and gets the rest. On success the
// status is that of the version copied, and the digest that of the copy.
Error copy_one_version(int from, int to, struct stat& source, bool take_growth, PendingDigest& digest) {
    Hashed& hashed = digest.hashed;
#ifdef FICLONE
    // Shared blocks are one version by themselves, and the digest is that of
    // the clone, the bytes the backup holds. A file system that cannot share
    // blocks is not asked again in this run.
    static bool sharing_unsupported = false;
    if (!sharing_unsupported) {
        if (::ioctl(to, FICLONE, from) == 0) {
            bytes_done(static_cast<std::uint64_t>(source.st_size));
            if (::fstat(from, &source) != 0) return call_error();
            return digest_file(to, hashed);
        }
        sharing_unsupported = errno == EOPNOTSUPP || errno == ENOTTY;
    }
#endif
    std::unique_ptr<DigestFollower> follower;
    if (source.st_size >= followed_size) follower = std::make_unique<DigestFollower>(to);
    for (int attempt = 0; attempt < version_tries; ++attempt) {
        if (attempt > 0) {
            // The copy is written again from its start.
            if (follower) follower->abandon();
            if (::ftruncate(to, 0) != 0) return call_error();
        }
        Outcome<off_t> reached = copy_data(from, to, source, 0, follower.get());
        for (int taken = 0; !reached.failed(); ++taken) {
            struct stat now {};
            if (::fstat(from, &now) != 0) return call_error();
            const bool grew = take_growth && now.st_size > source.st_size && taken < growth_tries;
            if (same_version(source, now)) {
                // A hole at the end has no data that would give the copy its length.
                if (reached.value < now.st_size && ::ftruncate(to, now.st_size) != 0) return call_error();
                // Whoever wants the digest waits for the follower then.
                if (follower && attempt == 0) {
                    digest.follower = std::move(follower);
                    digest.size = now.st_size;
                    digest.fd = to;
                    return {};
                }
                return digest_file(to, hashed);
            }
            source = now;
            if (!grew) break;
            reached = copy_data(from, to, now, reached.value, follower.get());
        }
        if (reached.failed()) return Error{reached.error};
    }
    return error_of(EAGAIN);
}

// What cannot be opened (a link, a FIFO, a device) has its attributes read
// and written by a short path through its open folder, never followed.
std::string path_of(const Node& node) {
    return "/proc/self/fd/" + std::to_string(node.fd) + '/' + node.name;
}

ssize_t list_attributes(const Node& node, char* list, std::size_t size) {
    return node.name == nullptr ? ::flistxattr(node.fd, list, size) : ::llistxattr(path_of(node).c_str(), list, size);
}

ssize_t get_attribute(const Node& node, const char* name, char* value, std::size_t size) {
    return node.name == nullptr ? ::fgetxattr(node.fd, name, value, size)
                                : ::lgetxattr(path_of(node).c_str(), name, value, size);
}

int set_attribute(const Node& node, const char* name, const std::vector<char>& value) {
    return node.name == nullptr ? ::fsetxattr(node.fd, name, value.data(), value.size(), 0)
                                : ::lsetxattr(path_of(node).c_str(), name, value.data(), value.size(), 0);
}

Error remove_attribute(const Node& node, const char* name) {
    const int removed = node.name == nullptr ? ::fremovexattr(node.fd, name) : ::lremovexattr(path_of(node).c_str(), name);
    if (removed == 0 || errno == ENODATA || call_unsupported(errno)) return {};
    return call_error();
}

// Whether a file system refused an attribute (rather than failed to write it).
bool refused(ErrorCode error) {
    return call_unsupported(error) || error == EPERM || error == EACCES || error == EINVAL || error == ENOSPC ||
           error == E2BIG || error == ERANGE;
}

// The names of the source's extended attributes. A list too long for the
// system to hand out (E2BIG) gives the ACLs alone, read by their names.
Error attribute_names(const Node& from, std::vector<char>& names) {
    const Error listed =
        read_sized([&](char* list, std::size_t size) { return list_attributes(from, list, size); }, names);
    if (!listed) return {};
    names.clear();
    if (call_unsupported(listed.code)) return {};
    if (listed.code != E2BIG) return listed;
    for (const std::string_view acl : {std::string_view(access_acl), std::string_view(default_acl)}) {
        names.insert(names.end(), acl.begin(), acl.end());
        names.push_back('\0');
    }
    return {};
}

// Carries every extended attribute of the source that the copy's file system
// takes, its ACLs among them; an ACL that the copy may have inherited from its
// folder and the source does not have is removed. acl_carried is false when
// the source's access ACL could not be carried.
Error carry_attributes(const Node& from, const Node& to, bool may_have_inherited, bool& acl_carried) {
    acl_carried = true;
    std::vector<char> names;
    if (const Error listed = attribute_names(from, names)) {
        // Without /proc the attributes of what cannot be opened are unknown:
        // the entry is then given no ACL, and grants its owner alone.
        if (from.name == nullptr || listed.code != ENOENT) return listed;
        acl_carried = false;
        return {};
    }
    bool has_acl = false;
    bool has_default = false;
    std::vector<char> value;
    for (std::size_t at = 0; at < names.size(); at += std::strlen(&names[at]) + 1) {
        const char* name = &names[at];
        if (const Error read =
                read_sized([&](char* data, std::size_t size) { return get_attribute(from, name, data, size); },
                           value)) {
            if (read.code == ENODATA) continue;  // removed in the meantime, or never there
            if (!call_unsupported(read.code)) return read;
            acl_carried = acl_carried && std::strcmp(name, access_acl) != 0;
            continue;
        }
        const bool is_acl = std::strcmp(name, access_acl) == 0;
        has_acl = has_acl || is_acl;
        has_default = has_default || std::strcmp(name, default_acl) == 0;
        if (set_attribute(to, name, value) == 0) continue;
        if (!refused(static_cast<ErrorCode>(errno))) return call_error();
        if (is_acl) acl_carried = false;
    }
    if (!may_have_inherited) return {};
    if (!has_acl) {
        if (const Error failed = remove_attribute(to, access_acl)) return failed;
    }
    if (!has_default) return remove_attribute(to, default_acl);
    return {};
}

// Whether the process was refused a change of owner, or the file system
// cannot make one (rather than failed).
bool owner_refused(Error error) {
    return error.code == EPERM || error.code == EINVAL || call_unsupported(error.code);
}

Error change_owner(const Node& node, uid_t owner, gid_t group) {
    const int changed = node.name == nullptr ? ::fchownat(node.fd, "", owner, group, AT_EMPTY_PATH)
                                             : ::fchownat(node.fd, node.name, owner, group, AT_SYMLINK_NOFOLLOW);
    if (changed != 0) return call_error();
    return {};
}

// The permission bits of one class (shifted to the others' place) that let
// someone at an entry's content: reading a file; listing or entering a
// folder; reading or writing a device, a FIFO or a socket. A file's write
// and execute bits are not counted: exFAT and NTFS without a permission
// mapping show every file as 0777.
mode_t access_bits(mode_t mode, int shift) {
    mode_t counted = S_IROTH;
    if (S_ISDIR(mode)) counted |= S_IXOTH;
    if (!S_ISDIR(mode) && !S_ISREG(mode)) counted |= S_IWOTH;
    return (mode >> shift) & counted;
}

// Whether an entry, as its file system shows it, lets in someone that the
// source kept out, judged class by class: its owner is let in only where it
// is the source's owner, the runner (who read the source) or root (who reads
// anything); its group may have what the source's group had where it is the
// same group; anyone else only what the source grants everyone. Who is in
// which group is not looked at: an entry of another group gets no more than
// everyone had.
bool lets_in_more(const struct stat& source, const struct stat& shown) {
    constexpr int owner = 6;
    constexpr int group = 3;
    const mode_t everyone = access_bits(source.st_mode, 0);
    const bool owner_could = shown.st_uid == source.st_uid || shown.st_uid == ::geteuid() || shown.st_uid == 0;
    const mode_t group_could = everyone | (shown.st_gid == source.st_gid ? access_bits(source.st_mode, group) : 0);
    return (!owner_could && (access_bits(shown.st_mode, owner) & ~everyone) != 0) ||
           (access_bits(shown.st_mode, group) & ~group_could) != 0 || (access_bits(shown.st_mode, 0) & ~everyone) != 0;
}

}  // namespace

bool same_version(const struct stat& before, const struct stat& after) {
    return before.st_size == after.st_size && before.st_mtim.tv_sec == after.st_mtim.tv_sec &&
           before.st_mtim.tv_nsec == after.st_mtim.tv_nsec && before.st_ctim.tv_sec == after.st_ctim.tv_sec &&
           before.st_ctim.tv_nsec == after.st_ctim.tv_nsec;
}

Error shows_no_more(const struct stat& source, const Node& node) {
    struct stat shown {};
    const int got = node.name == nullptr ? ::fstat(node.fd, &shown)
                                         : ::fstatat(node.fd, node.name, &shown, AT_SYMLINK_NOFOLLOW);
    if (got != 0) return call_error();
    if (lets_in_more(source, shown)) return error_of(EPERM);
    return {};
}

Error keep_metadata(const Node& from, const Node& to, const struct stat& source, bool may_have_inherited) {
    auto mode = static_cast<mode_t>(source.st_mode & 07777);
    // Where the process may not give the copy the source's owner, the copy is
    // the runner's and never keeps setuid or setgid: no program that runs as
    // one user is made from a file that another controls. It keeps the
    // source's group where the runner may give it; where not, a group that
    // the source never named gets no more than the source grants everyone.
    if (const Error refused = change_owner(to, source.st_uid, source.st_gid)) {
        if (!owner_refused(refused)) return refused;
        mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
        if (const Error group_refused = change_owner(to, static_cast<uid_t>(-1), source.st_gid)) {
            if (!owner_refused(group_refused)) return group_refused;
            mode &= ~static_cast<mode_t>(S_IRWXG & ~((mode & S_IRWXO) << 3));
        }
    }
    bool acl_carried = true;
    if (const Error failed = carry_attributes(from, to, may_have_inherited, acl_carried)) return failed;
    // Without the source's ACL, the copy grants nothing beyond its owner
    // rather than more than the source did.
    if (!acl_carried) mode &= ~static_cast<mode_t>(S_IRWXG | S_IRWXO);
    const std::array<timespec, 2> times{source.st_atim, source.st_mtim};
    // A link has no permission bits of its own.
    if (S_ISLNK(source.st_mode)) {
        if (::utimensat(to.fd, to.name, times.data(), AT_SYMLINK_NOFOLLOW) != 0) return call_error();
        return {};
    }
    // Where the file system has no permission bits to set, what it shows
    // instead is checked below.
    const bool mode_set = to.name == nullptr ? ::fchmod(to.fd, mode) == 0 : ::fchmodat(to.fd, to.name, mode, 0) == 0;
    if (!mode_set && !call_unsupported(static_cast<ErrorCode>(errno))) return call_error();
    const bool timed = to.name == nullptr ? ::futimens(to.fd, times.data()) == 0
                                          : ::utimensat(to.fd, to.name, times.data(), AT_SYMLINK_NOFOLLOW) == 0;
    if (!timed) return call_error();
    return shows_no_more(source, to);
}

Error PendingDigest::take(Hashed& out) {
    if (follower) {
        const bool followed = follower->finish(size, hashed);
        follower.reset();
        if (!followed) {
            if (const Error failed = digest_file(fd, hashed)) return failed;
        }
    }
    out = hashed;
    return {};
}

Error fill(int from, int to, struct stat& source, const Folder& folder, bool take_growth, PendingDigest& digest) {
    // No data goes into a new file that others could read already.
    if (const Error failed = shows_no_more(source, {to, nullptr})) return failed;
    if (const Error failed = copy_one_version(from, to, source, take_growth, digest)) return failed;
    return keep_metadata({from, nullptr}, {to, nullptr}, source, folder.gives_an_acl);
}

Error take_the_rest(int from, int to, struct stat& source) {
    struct stat now {};
    if (::fstat(from, &now) != 0) return call_error();
    if (now.st_size <= source.st_size) return {};
    const Outcome<off_t> reached = copy_data(from, to, now, source.st_size);
    if (reached.failed()) return Error{reached.error};
    if (reached.value < now.st_size && ::ftruncate(to, now.st_size) != 0) return call_error();
    source = now;
    const std::array<timespec, 2> times{now.st_atim, now.st_mtim};
    if (::futimens(to, times.data()) != 0 || ::fsync(to) != 0) return call_error();
    return {};
}

}  // namespace posix
