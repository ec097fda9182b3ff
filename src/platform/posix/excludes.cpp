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
Outcome<FileDescriptor> open_records(int folder, bool make) {
    if (make && ::mkdirat(folder, records_folder, S_IRWXU) != 0 && errno != EEXIST) return call_error();
    FileDescriptor records(::openat(folder, records_folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!records.valid()) return call_error();
    struct stat status {};
    if (::fstat(records.get(), &status) != 0 || !runner_or_root(status.st_uid)) return error_of(EPERM);
    return records;
}

}  // namespace

Error record_excludes(int folder, const std::string& name, std::span<const std::string> excludes) {
    if (excludes.empty()) {
        // A record left by a snapshot of this name that is gone.
        const Outcome<FileDescriptor> records = open_records(folder, false);
        if (records.failed() || ::unlinkat(records.value.get(), name.c_str(), 0) == 0 || errno == ENOENT) return {};
        return call_error();
    }
    const Outcome<FileDescriptor> records = open_records(folder, true);
    if (records.failed()) return Error{records.error};
    const int at = records.value.get();
    std::string text;
    for (const std::string& pattern : excludes) text.append(pattern.c_str(), pattern.size() + 1);
    const std::string staged = name + ".new";
    const FileDescriptor out(
        ::openat(at, staged.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR));
    if (!out.valid()) return call_error();
    if (const Error failed = write_all(out.get(), text)) return failed;
    if (::fsync(out.get()) != 0 || ::renameat(at, staged.c_str(), at, name.c_str()) != 0 || ::fsync(at) != 0) {
        return call_error();
    }
    return {};
}

void forget_excludes(int folder, const std::string& name) {
    const Outcome<FileDescriptor> records = open_records(folder, false);
    if (!records.failed()) ::unlinkat(records.value.get(), name.c_str(), 0);
}

}  // namespace posix

namespace platform {

Outcome<std::vector<std::string>> recorded_excludes(const std::string& snapshot) {
    using namespace posix;
    std::vector<std::string> patterns;
    const auto [folder_path, name] = split_path(snapshot);
    const FileDescriptor folder(::open(folder_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid()) return call_error();
    const Outcome<FileDescriptor> records = open_records(folder.get(), false);
    if (records.error == ENOENT) return patterns;
    if (records.failed()) return Error{records.error};
    const FileDescriptor in(
        ::openat(records.value.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!in.valid()) return errno == ENOENT ? Outcome(std::move(patterns)) : Outcome<std::vector<std::string>>(call_error());
    struct stat status {};
    if (::fstat(in.get(), &status) != 0 || !S_ISREG(status.st_mode) || !runner_or_root(status.st_uid)) {
        return error_of(EPERM);
    }
    std::string text(static_cast<std::size_t>(status.st_size), '\0');
    if (::pread(in.get(), text.data(), text.size(), 0) != status.st_size) return error_of(EIO);
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\0', at);
        if (end == std::string_view::npos) break;
        patterns.emplace_back(text.data() + at, end - at);
        at = end + 1;
    }
    return patterns;
}

}  // namespace platform
