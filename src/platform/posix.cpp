// The platform layer on POSIX systems (Linux first).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

#include "platform/platform.h"

namespace {

int argument_count = 0;
char** arguments_given = nullptr;

// Keeps the error indicator of a failure while cleanup calls run.
class ErrnoKeeper {
public:
    ErrnoKeeper() : saved_(errno) {}
    ~ErrnoKeeper() { errno = saved_; }
    ErrnoKeeper(const ErrnoKeeper&) = delete;
    ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;

private:
    int saved_;
};

class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor() {
        const ErrnoKeeper keep;
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    // The descriptor held before is closed with the other.
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    int fd_;
};

bool succeeded() {
    errno = 0;
    return true;
}

bool failed_with(int error) {
    errno = error;
    return false;
}

// The folder part of a path and its last part.
std::pair<std::string, std::string> split_path(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// The folder a backup goes into, opened once before any work: every later
// step names files relative to it, and a folder that cannot be opened fails
// the run before anything changes.
struct Folder {
    FileDescriptor fd;
    bool readable;      // only a readable folder can be flushed itself
    bool gives_an_acl;  // a file made in it may inherit an ACL from its default
};

// The extended attributes that hold a file's access ACL and a folder's default.
constexpr const char* access_acl = "system.posix_acl_access";
constexpr const char* default_acl = "system.posix_acl_default";

Folder open_folder(const std::string& path) {
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid()) {
        const bool gives_an_acl = ::fgetxattr(fd.get(), default_acl, nullptr, 0) > 0;
        return {std::move(fd), true, gives_an_acl};
    }
    if (errno != EACCES) return {std::move(fd), true, true};
    // A drop box, written and searched by others but not read.
    return {FileDescriptor(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)), false, true};
}

// A name for a file of this run's own that nothing else is likely to use; the
// caller retries with another where it is taken. Made without a system call.
std::string temporary_name() {
    static std::uint64_t state = 0;
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    state += 0x9E3779B97F4A7C15ULL ^ static_cast<std::uint64_t>(now.tv_nsec) ^
             reinterpret_cast<std::uintptr_t>(&now);
    std::uint64_t mixed = state;
    mixed = (mixed ^ (mixed >> 30)) * 0xBF58476D1CE4E5B9ULL;
    mixed = (mixed ^ (mixed >> 27)) * 0x94D049BB133111EBULL;
    mixed ^= mixed >> 31;
    constexpr std::string_view letters = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string name = ".tesrak-";
    for (int i = 0; i < 12; ++i, mixed /= letters.size()) name += letters[mixed % letters.size()];
    return name;
}

constexpr int temporary_name_tries = 100;

// The file a copy is written into. It has no name (O_TMPFILE) or a temporary
// name in the folder, which is removed again unless it was handed on.
class StagedFile {
public:
    StagedFile(FileDescriptor fd, int folder, std::string name)
        : fd_(std::move(fd)), folder_(folder), name_(std::move(name)) {}
    ~StagedFile() {
        const ErrnoKeeper keep;
        if (!name_.empty()) ::unlinkat(folder_, name_.c_str(), 0);
    }
    StagedFile(StagedFile&& other) noexcept
        : fd_(std::move(other.fd_)), folder_(other.folder_), name_(std::exchange(other.name_, {})) {}
    // What was held before is closed and removed with the other.
    StagedFile& operator=(StagedFile&& other) noexcept {
        std::swap(fd_, other.fd_);
        std::swap(folder_, other.folder_);
        std::swap(name_, other.name_);
        return *this;
    }
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;
    int fd() const { return fd_.get(); }
    bool valid() const { return fd_.valid(); }
    const std::string& name() const { return name_; }
    void handed_on() { name_.clear(); }

private:
    FileDescriptor fd_;
    int folder_;
    std::string name_;
};

StagedFile create_unnamed(const Folder& folder) {
    return {FileDescriptor(::openat(folder.fd.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600)),
            folder.fd.get(), {}};
}

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

bool write_all_at(int fd, const char* data, std::size_t size, off_t offset) {
    while (size != 0) {
        const ssize_t written = ::pwrite(fd, data, size, offset);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
        offset += written;
    }
    return true;
}

// Copies the bytes between two offsets to the same offsets of the copy: in
// the kernel where it can (copy_file_range), else through one fixed buffer.
bool copy_range(int from, int to, off_t start, off_t end) {
    off_t at = start;
#ifdef __linux__
    for (off_t out = at; at < end;) {
        const ssize_t copied =
            ::copy_file_range(from, &at, to, &out, static_cast<std::size_t>(end - at), 0);
        if (copied > 0) continue;
        if (copied == 0) return true;  // the source has become shorter
        if (errno == EINTR) continue;
        const bool unsupported = errno == EXDEV || errno == ENOSYS || errno == EINVAL ||
                                 errno == EOPNOTSUPP || errno == EBADF;
        if (!unsupported) return false;
        break;
    }
#endif
    static std::array<char, 1 << 17> buffer;
    while (at < end) {
        const auto wanted = static_cast<std::size_t>(std::min<off_t>(end - at, buffer.size()));
        const ssize_t got = ::pread(from, buffer.data(), wanted, at);
        if (got == 0) return true;
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (!write_all_at(to, buffer.data(), static_cast<std::size_t>(got), at)) return false;
        at += got;
    }
    return true;
}

// Copies the data of a file of the given length and leaves its holes
// unwritten, so that a sparse file stays sparse: shared blocks where the file
// system can share them, else run by run of data.
bool copy_contents(int from, int to, const struct stat& source) {
#ifdef FICLONE
    // A file system that cannot share blocks is not asked again in this run.
    static bool sharing_unsupported = false;
    if (!sharing_unsupported) {
        if (::ioctl(to, FICLONE, from) == 0) return true;
        sharing_unsupported = errno == EOPNOTSUPP || errno == ENOTTY;
    }
#endif
    const off_t size = source.st_size;
    // A file with as many blocks as bytes has no holes to look for.
    if (source.st_blocks * 512 >= size) return copy_range(from, to, 0, size);
    off_t copied_to = 0;
    for (off_t data = 0; data < size;) {
        off_t hole = size;
        const off_t found = ::lseek(from, data, SEEK_DATA);
        if (found < 0 && errno == ENXIO) break;  // nothing but a hole is left
        // Where the file system cannot tell holes (EINVAL), the rest is data.
        if (found < 0 && errno != EINVAL) return false;
        if (found >= 0) {
            data = found;
            hole = ::lseek(from, data, SEEK_HOLE);
            if (hole < 0) return false;
        }
        hole = std::min(hole, size);
        if (!copy_range(from, to, data, hole)) return false;
        copied_to = data = hole;
    }
    // A hole at the end has no data that would give the copy its length.
    return copied_to == size || ::ftruncate(to, size) == 0;
}

// Reads a list or value whose size the call tells when given no room,
// again while it grows in between.
template <class Read>
bool read_sized(Read read, std::vector<char>& out) {
    for (;;) {
        const ssize_t size = read(nullptr, 0);
        if (size < 0) return false;
        out.resize(static_cast<std::size_t>(size));
        if (size == 0) return true;
        const ssize_t got = read(out.data(), out.size());
        if (got >= 0) {
            out.resize(static_cast<std::size_t>(got));
            return true;
        }
        if (errno != ERANGE) return false;
    }
}

// Whether a file system refused an attribute (rather than failed to write it).
bool refused(int error) {
    return error == EOPNOTSUPP || error == EPERM || error == EACCES || error == EINVAL ||
           error == ENOSPC || error == E2BIG || error == ERANGE;
}

// Carries every extended attribute of the source that the copy's file system
// takes, its ACL among them; an ACL that the copy may have inherited from its
// folder and the source does not have is removed. acl_carried is false when
// the source's ACL could not be carried.
bool carry_attributes(int from, int to, bool may_have_inherited, bool& acl_carried) {
    acl_carried = true;
    std::vector<char> names;
    if (!read_sized([&](char* list, std::size_t size) { return ::flistxattr(from, list, size); }, names) &&
        errno != EOPNOTSUPP) {
        return false;
    }
    bool has_acl = false;
    std::vector<char> value;
    for (std::size_t at = 0; at < names.size(); at += std::strlen(&names[at]) + 1) {
        const char* name = &names[at];
        if (!read_sized([&](char* data, std::size_t size) { return ::fgetxattr(from, name, data, size); },
                        value)) {
            if (errno == ENODATA) continue;  // removed in the meantime
            return false;
        }
        const bool is_acl = std::strcmp(name, access_acl) == 0;
        has_acl = has_acl || is_acl;
        if (::fsetxattr(to, name, value.data(), value.size(), 0) == 0) continue;
        if (!refused(errno)) return false;
        if (is_acl) acl_carried = false;
    }
    return has_acl || !may_have_inherited || ::fremovexattr(to, access_acl) == 0 || errno == ENODATA ||
           errno == EOPNOTSUPP;
}

// The content, owner, attributes, permission bits and times of the source,
// into a copy made in the folder. Until the owner and ACL are in place the
// copy keeps the mode it was made with (0600), so that no one the source did
// not allow can read it at any moment.
bool fill(int from, int to, const struct stat& source, const Folder& folder) {
    if (!copy_contents(from, to, source)) return false;
    auto mode = static_cast<mode_t>(source.st_mode & 07777);
    // Where the process may not give the copy the source's owner, the copy is
    // the runner's and never keeps setuid or setgid: no program that runs as
    // one user is made from a file that another controls.
    if (::fchown(to, source.st_uid, source.st_gid) != 0) {
        if (errno != EPERM && errno != EINVAL) return false;
        mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
    }
    bool acl_carried = true;
    if (!carry_attributes(from, to, folder.gives_an_acl, acl_carried)) return false;
    // Without the source's ACL, the copy grants nothing beyond its owner
    // rather than more than the source did.
    if (!acl_carried) mode &= ~static_cast<mode_t>(S_IRWXG | S_IRWXO);
    const std::array<timespec, 2> times{source.st_atim, source.st_mtim};
    return ::fchmod(to, mode) == 0 && ::futimens(to, times.data()) == 0;
}

// Renames without replacing; where the system cannot, a hard link does the
// same for anything but a folder.
bool rename_without_replacing(int from_folder, const char* from, int to_folder, const char* to) {
#ifdef RENAME_NOREPLACE
    if (::renameat2(from_folder, from, to_folder, to, RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
#endif
    if (::linkat(from_folder, from, to_folder, to, 0) != 0) return false;
    if (::unlinkat(from_folder, from, 0) == 0) return true;
    const ErrnoKeeper keep;
    ::unlinkat(to_folder, to, 0);
    return false;
}

enum class Naming { named, not_permitted, failed };

// Links a file that has no name into the folder: by its descriptor where the
// process may, else through /proc.
Naming link_unnamed(int fd, int folder, const char* name) {
    if (::linkat(fd, "", folder, name, AT_EMPTY_PATH) == 0) return Naming::named;
    if (errno != ENOENT && errno != EPERM) return Naming::failed;
    const std::string handle = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, handle.c_str(), folder, name, AT_SYMLINK_FOLLOW) == 0) return Naming::named;
    return errno == ENOENT || errno == EPERM ? Naming::not_permitted : Naming::failed;
}

// Gives the finished file the target's name in one step. An earlier file of
// that name is replaced only where asked: the file is linked under a fresh
// temporary name first, which is then renamed over the target.
Naming take_name(StagedFile& staged, const Folder& folder, const std::string& name, bool replace) {
    const int at = folder.fd.get();
    if (!staged.name().empty()) {
        const bool moved =
            replace ? ::renameat(at, staged.name().c_str(), at, name.c_str()) == 0
                    : rename_without_replacing(at, staged.name().c_str(), at, name.c_str());
        if (!moved) return Naming::failed;
        staged.handed_on();
        return Naming::named;
    }
    const Naming linked = link_unnamed(staged.fd(), at, name.c_str());
    if (linked != Naming::failed || errno != EEXIST || !replace) return linked;
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

// A copy written in full, content and metadata, beside its target: without a
// name (or with a temporary one), and not yet known to be on the disk.
struct StagedCopy {
    const Folder* folder;
    StagedFile file;
    std::string name;  // the target's name in the folder
    struct stat source;
};

// Writes the copy of a regular file (following a link) into a file without a
// name in the target's folder, or a named temporary file where the system
// offers none, and starts writing it to the disk.
std::optional<StagedCopy> stage_copy(const std::string& source, const Folder& folder, std::string name) {
    // Without blocking, so that a FIFO is refused rather than waited on.
    const FileDescriptor in(::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!in.valid() || ::fstat(in.get(), &status) != 0) return std::nullopt;
    if (!S_ISREG(status.st_mode)) {
        failed_with(S_ISDIR(status.st_mode) ? EISDIR : EINVAL);
        return std::nullopt;
    }
    StagedFile file = create_unnamed(folder);
    if (!file.valid() && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) file = create_named(folder);
    if (!file.valid() || !fill(in.get(), file.fd(), status, folder)) return std::nullopt;
    // Only a hint: the flush that follows waits for the data either way, and
    // copies staged together are then written out together.
    ::sync_file_range(file.fd(), 0, 0, SYNC_FILE_RANGE_WRITE);
    return StagedCopy{&folder, std::move(file), std::move(name), status};
}

// Flushes a staged copy and gives it the target's name. Where the process may
// name a file without a name neither way, the copy is copied once more, into
// a named temporary file, which takes the name instead.
bool publish(StagedCopy& copy, bool replace) {
    if (::fsync(copy.file.fd()) != 0) return false;
    const Naming naming = take_name(copy.file, *copy.folder, copy.name, replace);
    if (naming != Naming::not_permitted) return naming == Naming::named;
    StagedFile named = create_named(*copy.folder);
    if (!named.valid() || !fill(copy.file.fd(), named.fd(), copy.source, *copy.folder) ||
        ::fsync(named.fd()) != 0) {
        return false;
    }
    copy.file = std::move(named);
    return take_name(copy.file, *copy.folder, copy.name, replace) == Naming::named;
}

// Flushes the new name to the disk. A folder that may not be read cannot be
// flushed itself; flushing the file after it was linked commits its name on
// ext4 and XFS.
bool flush_name(const StagedCopy& copy) {
    return ::fsync(copy.folder->readable ? copy.folder->fd.get() : copy.file.fd()) == 0;
}

// Copies a regular file with its metadata to a target that must not exist
// yet, atomically and durably. A copy whose name could not be flushed is
// removed again, so that a failure leaves nothing behind.
bool copy_without_replacing(const std::string& source, const std::string& target) {
    const auto [folder_path, name] = split_path(target);
    const Folder folder = open_folder(folder_path);
    if (!folder.fd.valid()) return false;
    std::optional<StagedCopy> copy = stage_copy(source, folder, name);
    if (!copy || !publish(*copy, false)) return false;
    if (flush_name(*copy)) return succeeded();
    const ErrnoKeeper keep;
    ::unlinkat(folder.fd.get(), name.c_str(), 0);
    return false;
}

// How many copies are staged before they are flushed and named together:
// each holds a descriptor, its folder may hold another, and some are left
// for the rest of the run.
std::size_t copies_in_a_batch() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur < 20) return 1;
    return std::min<rlim_t>((limit.rlim_cur - 16) / 2, 64);
}

// Removes the source once the target stands; where it cannot, removes the
// target again, so that there is always exactly one of the two.
bool remove_source_keeping_one(const std::string& source, const std::string& target) {
    if (::unlink(source.c_str()) == 0) return succeeded();
    const ErrnoKeeper keep;
    ::unlink(target.c_str());
    return false;
}

bool move_symbolic_link(const std::string& source, const std::string& target, off_t size) {
    std::string destination(static_cast<std::size_t>(size) + 1, '\0');
    const ssize_t length = ::readlink(source.c_str(), destination.data(), destination.size());
    if (length < 0) return false;
    if (static_cast<std::size_t>(length) >= destination.size()) return failed_with(EAGAIN);
    destination.resize(static_cast<std::size_t>(length));
    if (::symlink(destination.c_str(), target.c_str()) != 0) return false;
    return remove_source_keeping_one(source, target);
}

// A move to another file system, as Windows does it: the file is copied
// without replacing, then the source removed. A copy that is not durable, or
// whose source cannot be removed, is removed again. Folders are not moved
// this way.
bool move_across_file_systems(const std::string& source, const std::string& target) {
    struct stat status {};
    if (::lstat(source.c_str(), &status) != 0) return false;
    if (S_ISLNK(status.st_mode)) return move_symbolic_link(source, target, status.st_size);
    if (!S_ISREG(status.st_mode)) return failed_with(EXDEV);
    if (!copy_without_replacing(source, target)) return false;
    return remove_source_keeping_one(source, target);
}

}  // namespace

namespace platform {

void start_up(int argc, char** argv) {
    argument_count = argc;
    arguments_given = argv;
    // A closed pipe is an ordinary failed write; the terminal's interrupt,
    // quit and hang-up keys do not stop a backup half-way.
    for (const int signal_number : {SIGPIPE, SIGINT, SIGQUIT, SIGHUP}) {
        std::signal(signal_number, SIG_IGN);
    }
}

std::vector<std::string_view> arguments() {
    return {arguments_given + std::min(argument_count, 1), arguments_given + argument_count};
}

bool write_stdout(std::string_view bytes) {
    const ssize_t written = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
    return written == static_cast<ssize_t>(bytes.size());
}

ErrorMode enter_quiet_error_mode() {
    return 0;
}

void restore_error_mode(ErrorMode) {}

void clear_last_error() {
    errno = 0;
}

ErrorCode last_error() {
    return static_cast<ErrorCode>(errno);
}

bool is_fatal_error(ErrorCode error) {
    return error == ENOMEM || error == E2BIG;
}

void exit_process(int code) {
    std::_Exit(code);
}

bool create_folder(const std::string& path) {
    return ::mkdir(path.c_str(), 0777) == 0;
}

bool create_folder_durably(const std::string& path) {
    if (::mkdir(path.c_str(), 0777) != 0) {
        struct stat status {};
        return errno == EEXIST && ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode) && succeeded();
    }
    const FileDescriptor made(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const FileDescriptor parent(::open(split_path(path).first.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return made.valid() && parent.valid() && ::fsync(made.get()) == 0 && ::fsync(parent.get()) == 0;
}

bool path_exists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

std::size_t copy_files_replacing(std::span<const Transfer> transfers) {
    const std::size_t batch = copies_in_a_batch();
    std::size_t made = 0;
    while (made < transfers.size()) {
        // Flushing copies one at a time costs a journal commit each; a batch
        // written out together is flushed and named in one go. Each folder
        // is opened once, before any work on the copies that go into it.
        std::map<std::string, Folder> folders;
        std::vector<StagedCopy> staged;
        bool stopped = false;
        while (!stopped && staged.size() < batch && made + staged.size() < transfers.size()) {
            const Transfer& transfer = transfers[made + staged.size()];
            auto [folder_path, name] = split_path(transfer.target);
            auto folder = folders.find(folder_path);
            if (folder == folders.end()) folder = folders.emplace(folder_path, open_folder(folder_path)).first;
            std::optional<StagedCopy> copy;
            if (folder->second.fd.valid()) copy = stage_copy(transfer.source, folder->second, std::move(name));
            if (copy) staged.push_back(std::move(*copy));
            stopped = !copy;
        }
        // The copies staged before a failure are made all the same.
        const int stop = errno;
        for (StagedCopy& copy : staged) {
            if (!publish(copy, true)) return made;
            ++made;
        }
        // Each folder once; where only this flush failed, the copies named
        // stand whole under their names.
        std::vector<const Folder*> flushed;
        for (std::size_t i = 0; i < staged.size(); ++i) {
            if (std::find(flushed.begin(), flushed.end(), staged[i].folder) != flushed.end()) continue;
            if (!flush_name(staged[i])) return made - staged.size() + i;
            if (staged[i].folder->readable) flushed.push_back(staged[i].folder);
        }
        if (stopped) {
            errno = stop;
            return made;
        }
    }
    succeeded();
    return made;
}

bool move_file_without_replacing(const std::string& source, const std::string& target) {
    if (rename_without_replacing(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str())) {
        return succeeded();
    }
    return errno == EXDEV ? move_across_file_systems(source, target) : false;
}

mivo_systemtime local_time() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::tm local{};
    ::localtime_r(&now.tv_sec, &local);
    return mivo_systemtime{
        static_cast<std::uint16_t>(local.tm_year + 1900), static_cast<std::uint16_t>(local.tm_mon + 1),
        static_cast<std::uint16_t>(local.tm_wday),        static_cast<std::uint16_t>(local.tm_mday),
        static_cast<std::uint16_t>(local.tm_hour),        static_cast<std::uint16_t>(local.tm_min),
        static_cast<std::uint16_t>(local.tm_sec),         static_cast<std::uint16_t>(now.tv_nsec / 1000000),
    };
}

mivo_text new_result_text(std::string_view text) {
    auto* result = static_cast<char*>(std::malloc(text.size() + 1));
    if (result == nullptr) return nullptr;
    std::memcpy(result, text.data(), text.size());
    result[text.size()] = '\0';
    return result;
}

std::string release_result_text(mivo_text text) {
    std::string result(text != nullptr ? text : "");
    std::free(text);
    return result;
}

bool bind_own_imports() {
    return true;
}

}  // namespace platform
