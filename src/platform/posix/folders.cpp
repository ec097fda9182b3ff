// The folders that backups go into: the backup folder, and the folders below
// it, each opened relative to its parent and never through a link.
#include <sys/file.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <string_view>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace posix {

std::pair<std::string, std::string> split_path(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// Made without a system call.
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

Error read_link(int folder, const char* name, off_t size, std::string& destination) {
    destination.assign(static_cast<std::size_t>(size) + 1, '\0');
    const ssize_t length = ::readlinkat(folder, name, destination.data(), destination.size());
    if (length < 0) return call_error();
    if (static_cast<std::size_t>(length) >= destination.size()) return error_of(EAGAIN);
    destination.resize(static_cast<std::size_t>(length));
    return {};
}

namespace {

// A folder opened for reading where the process may, else only for naming
// files in it: a drop box is written and searched by others but not read.
Outcome<Folder> open_relative(int parent, const char* name, int follow) {
    FileDescriptor fd(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | follow));
    if (fd.valid()) {
        const bool gives_an_acl = ::fgetxattr(fd.get(), default_acl, nullptr, 0) > 0;
        return Folder{std::move(fd), true, gives_an_acl};
    }
    if (errno != EACCES) return call_error();
    fd = FileDescriptor(::openat(parent, name, O_PATH | O_DIRECTORY | O_CLOEXEC | follow));
    if (!fd.valid()) return call_error();
    return Folder{std::move(fd), false, true};
}

Error flush_new_folder(const Folder& made, const Folder& parent) {
    if (made.readable && ::fsync(made.fd.get()) != 0) return call_error();
    if (parent.readable && ::fsync(parent.fd.get()) != 0) return call_error();
    return {};
}

}  // namespace

Outcome<Folder> open_folder(const std::string& path) {
    return open_relative(AT_FDCWD, path.c_str(), 0);
}

Outcome<const Folder*> FolderTable::open(const std::string& folder_path, bool make) {
    if (const auto known = folders_.find(folder_path); known != folders_.end()) return &known->second;
    const auto [parent_path, name] = split_path(folder_path);
    const Folder* parent = nullptr;
    Outcome<Folder> folder;
    bool made = false;
    if (parent_path == ".") {
        // The backup folder itself may be a link, the user's choice.
        folder = open_folder(folder_path);
    } else {
        const Outcome<const Folder*> parent_opened = open(parent_path, make);
        if (parent_opened.failed()) return parent_opened;
        parent = parent_opened.value;
        folder = open_relative(parent->fd.get(), name.c_str(), O_NOFOLLOW);
        if (folder.error == ENOENT && make) {
            made = ::mkdirat(parent->fd.get(), name.c_str(), 0777) == 0;
            if (!made && errno != EEXIST) return call_error();
            folder = open_relative(parent->fd.get(), name.c_str(), O_NOFOLLOW);
        }
    }
    // A link below the backup folder fails here (ELOOP or ENOTDIR).
    if (folder.failed()) return Error{folder.error};
    // Whoever owns a folder can empty it: only the runner's or root's are used.
    struct stat status {};
    if (::fstat(folder.value.fd.get(), &status) != 0) return call_error();
    if (!runner_or_root(status.st_uid)) return error_of(EPERM);
    if (made) {
        if (const Error flushed = flush_new_folder(folder.value, *parent)) return flushed;
    }
    return &folders_.emplace(folder_path, std::move(folder.value)).first->second;
}

Error flush_folders(std::span<const Folder* const> folders) {
    std::vector<int> descriptors;
    for (const Folder* folder : folders) {
        const int fd = folder->fd.get();
        if (folder->readable && std::find(descriptors.begin(), descriptors.end(), fd) == descriptors.end()) {
            descriptors.push_back(fd);
        }
    }
    return flush_all(descriptors);
}

}  // namespace posix

namespace platform {

// A new folder is flushed with its parent, so that it survives a power cut.
Error create_folder(const std::string& path) {
    using namespace posix;
    if (::mkdir(path.c_str(), 0777) != 0) return call_error();
    const Outcome<Folder> made = open_folder(path);
    if (made.failed()) return Error{made.error};
    const Outcome<Folder> parent = open_folder(split_path(path).first);
    if (parent.failed()) return Error{parent.error};
    const Folder* both[] = {&made.value, &parent.value};
    return flush_folders(both);
}

Error lock_folder(const std::string& path, bool wait) {
    // Held until the process ends: the descriptor is never closed.
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return posix::call_error();
    while (::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)) != 0) {
        if (errno != EINTR) {
            const Error refused = posix::call_error();
            ::close(fd);
            return refused;
        }
    }
    return {};
}

bool in_use(ErrorCode error) {
    return error == EWOULDBLOCK;
}

bool holds_folder(const std::string& source, const std::string& backup_folder) {
    // A source that cannot be looked at holds nothing: its own run says why.
    struct stat status {};
    if (::stat(source.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return false;
    const auto real = [](const std::string& path) {
        char* resolved = ::realpath(path.c_str(), nullptr);
        std::string found = resolved != nullptr ? resolved : "";
        std::free(resolved);
        return found;
    };
    std::string folder = real(backup_folder);
    if (folder.empty()) folder = real(".");
    const std::string top = real(source);
    if (folder.empty() || top.empty()) return false;
    return top == "/" || folder == top || folder.starts_with(top + "/");
}

Outcome<bool> path_exists(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0) return true;
    return posix::call_error();
}

}  // namespace platform
