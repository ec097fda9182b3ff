// The records of what backups hold, kept beside them: in the folder
// ".tesrak.sha256" of their backup folder, one file a stamp. A record is
// replaced as a whole, durably, so that it is always one whole version.
#include <sys/stat.h>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace posix {

namespace {

// The records' folder of a backup folder, made (and flushed with its
// parent) where asked; it and each record must be the runner's or root's,
// as the backups they stand beside.
FileDescriptor open_record_folder(int folder, bool make) {
    const std::string name(records_folder);
    if (make) {
        // A folder opened only for naming files in it (a drop box) cannot be flushed.
        if (::mkdirat(folder, name.c_str(), S_IRWXU) == 0) {
            if (::fsync(folder) != 0 && errno != EBADF) return FileDescriptor();
        } else if (errno != EEXIST) {
            return FileDescriptor();
        }
    }
    FileDescriptor records(::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (records.valid() && ::fstat(records.get(), &status) != 0) return FileDescriptor();
    if (records.valid() && !runner_or_root(status.st_uid)) {
        failed_with(EPERM);
        return FileDescriptor();
    }
    return records;
}

// The records' folder goes once it holds no record: a backup folder that a
// failed run touched holds what it held before. One that holds any stays.
void forget_record_folder(int folder) {
    const ErrnoKeeper keep;
    const std::string name(records_folder);
    ::unlinkat(folder, name.c_str(), AT_REMOVEDIR);
}

bool read_text(int at, const char* name, std::string& text) {
    const FileDescriptor in(::openat(at, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!in.valid()) return errno == ENOENT;
    if (::fstat(in.get(), &status) != 0) return false;
    if (!S_ISREG(status.st_mode) || !runner_or_root(status.st_uid)) return failed_with(EPERM);
    text.assign(static_cast<std::size_t>(status.st_size), '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t read = ::pread(in.get(), text.data() + got, text.size() - got, static_cast<off_t>(got));
        if (read < 0 && errno == EINTR) continue;
        if (read <= 0) return read == 0 ? (text.resize(got), true) : false;
        got += static_cast<std::size_t>(read);
    }
    return true;
}

}  // namespace

// A short write of nothing is out of room.
bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return written == 0 ? failed_with(ENOSPC) : false;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

bool read_record(int folder, const std::string& record, std::vector<RecordLine>& lines, bool with_sources) {
    lines.clear();
    const FileDescriptor records = open_record_folder(folder, false);
    if (!records.valid()) return errno == ENOENT;
    std::string text;
    if (!read_text(records.get(), record.c_str(), text)) return false;
    lines = parse_record(text, with_sources);
    return true;
}

bool write_record(int folder, const std::string& record, const std::vector<RecordLine>& lines) {
    const FileDescriptor records = open_record_folder(folder, !lines.empty());
    if (!records.valid()) return lines.empty() && errno == ENOENT;
    if (lines.empty()) {
        if ((::unlinkat(records.get(), record.c_str(), 0) != 0 && errno != ENOENT) || ::fsync(records.get()) != 0) {
            return false;
        }
        forget_record_folder(folder);
        return true;
    }
    for (int i = 0; i < temporary_name_tries; ++i) {
        const std::string staged = temporary_name();
        FileDescriptor out(::openat(records.get(), staged.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                    S_IRUSR | S_IWUSR));
        if (!out.valid()) {
            if (errno == EEXIST) continue;
            return false;
        }
        if (write_all(out.get(), record_text(lines)) && ::fsync(out.get()) == 0 &&
            ::renameat(records.get(), staged.c_str(), records.get(), record.c_str()) == 0) {
            return ::fsync(records.get()) == 0;
        }
        const ErrnoKeeper keep;
        ::unlinkat(records.get(), staged.c_str(), 0);
        forget_record_folder(folder);
        return false;
    }
    return false;
}

RecordStream::~RecordStream() {
    if (staged_.empty()) return;
    const ErrnoKeeper keep;
    ::unlinkat(records_.get(), staged_.c_str(), 0);
    forget_record_folder(folder_);
}

bool RecordStream::start() {
    records_ = open_record_folder(folder_, true);
    if (!records_.valid()) return false;
    for (int i = 0; i < temporary_name_tries; ++i) {
        std::string name = temporary_name();
        const int fd = ::openat(records_.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                S_IRUSR | S_IWUSR);
        if (fd >= 0) {
            ::close(fd);
            staged_ = std::move(name);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

bool RecordStream::write_out() {
    const FileDescriptor out(::openat(records_.get(), staged_.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC));
    if (!out.valid() || !write_all(out.get(), pending_)) return false;
    pending_.clear();
    return true;
}

bool RecordStream::add(const RecordLine& line) {
    constexpr std::size_t buffered = std::size_t{1} << 16;
    pending_ += record_text({line});
    return pending_.size() < buffered || write_out();
}

bool RecordStream::finish(const std::string& record, const std::string& backup) {
    if (!read_record(folder_, record, before_)) return false;
    for (const RecordLine& line : replaced_lines(before_, {backup}, {})) pending_ += record_text({line});
    const FileDescriptor out(::openat(records_.get(), staged_.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC));
    if (!out.valid() || !write_all(out.get(), pending_) || ::fsync(out.get()) != 0 ||
        ::renameat(records_.get(), staged_.c_str(), records_.get(), record.c_str()) != 0) {
        return false;
    }
    staged_.clear();
    return ::fsync(records_.get()) == 0;
}

void RecordStream::undo(const std::string& record) {
    const ErrnoKeeper keep;
    write_record(folder_, record, before_);
}

bool change_record(int folder, const std::string& record, const std::vector<std::string>& names,
                   const std::vector<RecordLine>& added, std::vector<RecordLine>& before) {
    if (!read_record(folder, record, before)) return false;
    std::vector<RecordLine> after = replaced_lines(before, names, added);
    if (after == before) return true;
    return write_record(folder, record, after);
}

}  // namespace posix

namespace platform {

bool recorded_lines(const std::string& folder_path, const std::string& record, std::vector<RecordLine>& lines,
                    bool with_sources) {
    const posix::Folder folder = posix::open_folder(folder_path);
    if (!folder.fd.valid()) return errno == ENOENT ? (lines.clear(), posix::succeeded()) : false;
    return posix::read_record(folder.fd.get(), record, lines, with_sources) && posix::succeeded();
}

bool record_names(const std::string& folder_path, std::vector<std::string>& names) {
    using namespace posix;
    names.clear();
    const Folder folder = open_folder(folder_path);
    if (!folder.fd.valid()) return errno == ENOENT && succeeded();
    const FileDescriptor records = open_record_folder(folder.fd.get(), false);
    if (!records.valid()) return errno == ENOENT && succeeded();
    std::vector<std::string> found;
    if (!sorted_names(records.get(), found)) return false;
    for (std::string& name : found) {
        if (!name.starts_with(".tesrak-")) names.push_back(std::move(name));
    }
    return succeeded();
}

}  // namespace platform
