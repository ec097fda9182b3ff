// The platform layer on POSIX systems (Linux first).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>

#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

#include "platform/platform.h"

namespace {

int argument_count = 0;
char** arguments = nullptr;

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
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    int fd_;
};

// A named temporary file that is removed unless it was handed on.
class TemporaryName {
public:
    TemporaryName() = default;
    explicit TemporaryName(std::string path) : path_(std::move(path)) {}
    ~TemporaryName() {
        const ErrnoKeeper keep;
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    TemporaryName(const TemporaryName&) = delete;
    TemporaryName& operator=(const TemporaryName&) = delete;
    TemporaryName& operator=(TemporaryName&& other) noexcept {
        std::swap(path_, other.path_);
        return *this;
    }
    const std::string& path() const { return path_; }
    void release() { path_.clear(); }

private:
    std::string path_;
};

bool succeeded() {
    errno = 0;
    return true;
}

bool failed_with(int error) {
    errno = error;
    return false;
}

std::string parent_folder(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A name in the folder that nothing else uses yet, made by mkstemp.
FileDescriptor create_named_temporary(const std::string& folder, TemporaryName& name) {
    std::string pattern = folder + "/.tesrak-XXXXXX";
    FileDescriptor fd(::mkostemp(pattern.data(), O_CLOEXEC));
    if (fd.valid()) name = TemporaryName(std::move(pattern));
    return fd;
}

// A file in the folder that has no name yet where the system offers it, else a
// named temporary file.
FileDescriptor create_unnamed(const std::string& folder, TemporaryName& name) {
#ifdef O_TMPFILE
    FileDescriptor fd(::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    if (fd.valid() || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
#endif
    return create_named_temporary(folder, name);
}

bool write_all(int fd, const char* data, std::size_t size) {
    while (size != 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// Moves the bytes in the kernel where it can: shared blocks, then
// copy_file_range, then a loop over one fixed buffer.
bool copy_contents(int from, int to) {
#ifdef FICLONE
    if (::ioctl(to, FICLONE, from) == 0) return true;
#endif
#ifdef __linux__
    bool copied_any = false;
    for (;;) {
        const ssize_t copied = ::copy_file_range(from, nullptr, to, nullptr, std::size_t{1} << 30, 0);
        if (copied > 0) {
            copied_any = true;
            continue;
        }
        if (copied == 0) return true;
        if (errno == EINTR) continue;
        const bool unsupported = errno == EXDEV || errno == ENOSYS || errno == EINVAL ||
                                 errno == EOPNOTSUPP || errno == EBADF;
        if (copied_any || !unsupported) return false;
        break;
    }
#endif
    static std::array<char, 1 << 17> buffer;
    for (;;) {
        const ssize_t got = ::read(from, buffer.data(), buffer.size());
        if (got == 0) return true;
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (!write_all(to, buffer.data(), static_cast<std::size_t>(got))) return false;
    }
}

// A path in the folder that is free at the moment: mkstemp makes the file,
// which is removed again at once.
std::string free_temporary_path(const std::string& folder) {
    TemporaryName reserved;
    const FileDescriptor fd = create_named_temporary(folder, reserved);
    return fd.valid() ? reserved.path() : std::string();
}

// Gives the finished file the target's name: a new name is linked, an
// existing one replaced by renaming a temporary name over it.
bool publish(int fd, TemporaryName& name, const std::string& target, bool replace) {
    if (name.path().empty()) {
        const std::string handle = "/proc/self/fd/" + std::to_string(fd);
        if (::linkat(AT_FDCWD, handle.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            return true;
        }
        if (errno != EEXIST || !replace) return false;
        for (;;) {
            std::string candidate = free_temporary_path(parent_folder(target));
            if (candidate.empty()) return false;
            if (::linkat(AT_FDCWD, handle.c_str(), AT_FDCWD, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                name = TemporaryName(std::move(candidate));
                break;
            }
            // Only a name that another process took in the meantime is tried again.
            if (errno != EEXIST) return false;
        }
    }
    if (replace) {
        if (::rename(name.path().c_str(), target.c_str()) != 0) return false;
    } else if (::link(name.path().c_str(), target.c_str()) != 0) {
        return false;
    }
    if (replace) name.release();
    return true;
}

bool sync_folder(const std::string& folder) {
    const FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.valid() && ::fsync(fd.get()) == 0;
}

// Copies the content, permission bits and times of a file (following a link)
// to the target atomically and durably: no partial file ever has the target's
// name, and an earlier file of that name stays whole until it is replaced.
bool copy_file(const std::string& source, const std::string& target, bool replace) {
    const FileDescriptor in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status {};
    if (!in.valid() || ::fstat(in.get(), &status) != 0) return false;
    if (S_ISDIR(status.st_mode)) return failed_with(EISDIR);
    const std::string folder = parent_folder(target);
    TemporaryName name;
    const FileDescriptor out = create_unnamed(folder, name);
    if (!out.valid()) return false;
    const std::array<timespec, 2> times{status.st_atim, status.st_mtim};
    if (!copy_contents(in.get(), out.get()) || ::fchmod(out.get(), status.st_mode & 07777) != 0 ||
        ::futimens(out.get(), times.data()) != 0 || ::fsync(out.get()) != 0 ||
        !publish(out.get(), name, target, replace) || !sync_folder(folder)) {
        return false;
    }
    return succeeded();
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
// without replacing, then the source removed. Folders are not moved this way.
bool move_across_file_systems(const std::string& source, const std::string& target) {
    struct stat status {};
    if (::lstat(source.c_str(), &status) != 0) return false;
    if (S_ISLNK(status.st_mode)) return move_symbolic_link(source, target, status.st_size);
    if (!S_ISREG(status.st_mode)) return failed_with(EXDEV);
    if (!copy_file(source, target, false)) return false;
    return remove_source_keeping_one(source, target);
}

// Where the system cannot rename without replacing, a hard link does the same
// for anything but a folder.
bool move_by_link(const std::string& source, const std::string& target) {
    struct stat status {};
    if (::lstat(source.c_str(), &status) != 0) return false;
    if (S_ISDIR(status.st_mode)) return failed_with(EOPNOTSUPP);
    if (::link(source.c_str(), target.c_str()) != 0) {
        return errno == EXDEV ? move_across_file_systems(source, target) : false;
    }
    return remove_source_keeping_one(source, target);
}

}  // namespace

namespace platform {

void start_up(int argc, char** argv) {
    argument_count = argc;
    arguments = argv;
    // A closed pipe is an ordinary failed write; the terminal's interrupt,
    // quit and hang-up keys do not stop a backup half-way.
    for (const int signal_number : {SIGPIPE, SIGINT, SIGQUIT, SIGHUP}) {
        std::signal(signal_number, SIG_IGN);
    }
}

std::string command_line() {
    std::string line;
    for (int i = 1; i < argument_count; ++i) {
        if (i > 1) line += ' ';
        line += arguments[i];
    }
    return line;
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

bool path_exists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

bool copy_file_replacing(const std::string& source, const std::string& target) {
    return copy_file(source, target, true);
}

bool move_file_without_replacing(const std::string& source, const std::string& target) {
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
        return succeeded();
    }
    if (errno == EXDEV) return move_across_file_systems(source, target);
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
#endif
    return move_by_link(source, target);
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
