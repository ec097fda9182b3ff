// The exclude patterns a folder snapshot was made with, kept beside it: in
// the folder ".tesrak.excludes" of its backup folder, a file of the
// snapshot's name holding each pattern ended by a NUL byte. A later --diff,
// --if-changed and --restore of that snapshot leave out the same entries.
#include <sys/stat.h>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace posix {

namespace {

constexpr const char* records_folder = ".tesrak.excludes";

// The records' folder of a backup folder, made where asked; it and each
// record must be the runner's or root's, as the backups they stand beside.
FileDescriptor open_records(int folder, bool make) {
    if (make && ::mkdirat(folder, records_folder, S_IRWXU) != 0 && errno != EEXIST) return FileDescriptor();
    FileDescriptor records(::openat(folder, records_folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (records.valid() && (::fstat(records.get(), &status) != 0 || !runner_or_root(status.st_uid))) {
        failed_with(EPERM);
        return FileDescriptor();
    }
    return records;
}

}  // namespace

bool record_excludes(int folder, const std::string& name, std::span<const std::string> excludes) {
    if (excludes.empty()) {
        // A record left by a snapshot of this name that is gone.
        const FileDescriptor records = open_records(folder, false);
        return !records.valid() || ::unlinkat(records.get(), name.c_str(), 0) == 0 || errno == ENOENT;
    }
    const FileDescriptor records = open_records(folder, true);
    if (!records.valid()) return false;
    std::string text;
    for (const std::string& pattern : excludes) text.append(pattern.c_str(), pattern.size() + 1);
    const std::string staged = name + ".new";
    const FileDescriptor out(
        ::openat(records.get(), staged.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR));
    return out.valid() && write_all(out.get(), text) &&
           ::fsync(out.get()) == 0 && ::renameat(records.get(), staged.c_str(), records.get(), name.c_str()) == 0 &&
           ::fsync(records.get()) == 0;
}

void forget_excludes(int folder, const std::string& name) {
    const FileDescriptor records = open_records(folder, false);
    if (records.valid()) ::unlinkat(records.get(), name.c_str(), 0);
}

}  // namespace posix

namespace platform {

bool recorded_excludes(const std::string& snapshot, std::vector<std::string>& patterns) {
    using namespace posix;
    patterns.clear();
    const auto [folder_path, name] = split_path(snapshot);
    const FileDescriptor folder(::open(folder_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid()) return false;
    const FileDescriptor records = open_records(folder.get(), false);
    if (!records.valid()) return errno == ENOENT && succeeded();
    const FileDescriptor in(::openat(records.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!in.valid()) return errno == ENOENT && succeeded();
    if (::fstat(in.get(), &status) != 0 || !S_ISREG(status.st_mode) || !runner_or_root(status.st_uid)) {
        return failed_with(EPERM);
    }
    std::string text(static_cast<std::size_t>(status.st_size), '\0');
    if (::pread(in.get(), text.data(), text.size(), 0) != status.st_size) return failed_with(EIO);
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\0', at);
        if (end == std::string_view::npos) break;
        patterns.emplace_back(text.data() + at, end - at);
        at = end + 1;
    }
    return succeeded();
}

}  // namespace platform
