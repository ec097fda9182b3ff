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
Outcome<FileDescriptor> open_record_folder(int folder, bool make) {
    const std::string name(records_folder);
    if (make) {
        // A folder opened only for naming files in it (a drop box) cannot be flushed.
        if (::mkdirat(folder, name.c_str(), S_IRWXU) == 0) {
            if (::fsync(folder) != 0 && errno != EBADF) return call_error();
        } else if (errno != EEXIST) {
            return call_error();
        }
    }
    FileDescriptor records(::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (!records.valid() || ::fstat(records.get(), &status) != 0) return call_error();
    if (!runner_or_root(status.st_uid)) return error_of(EPERM);
    return records;
}

// The records' folder goes once it holds no record: a backup folder that a
// failed run touched holds what it held before. One that holds any stays.
void forget_record_folder(int folder) {
    const std::string name(records_folder);
    ::unlinkat(folder, name.c_str(), AT_REMOVEDIR);
}

// The whole text of a record; empty where there is none.
Error read_text(int at, const char* name, std::string& text) {
    text.clear();
    const FileDescriptor in(::openat(at, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!in.valid()) return errno == ENOENT ? Error{} : call_error();
    if (::fstat(in.get(), &status) != 0) return call_error();
    if (!S_ISREG(status.st_mode) || !runner_or_root(status.st_uid)) return error_of(EPERM);
    text.assign(static_cast<std::size_t>(status.st_size), '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t read = ::pread(in.get(), text.data() + got, text.size() - got, static_cast<off_t>(got));
        if (read < 0 && errno == EINTR) continue;
        if (read < 0) return call_error();
        if (read == 0) break;
        got += static_cast<std::size_t>(read);
    }
    text.resize(got);
    return {};
}

// Writes a new record's whole text under a temporary name and gives it the
// record's name, durably.
Error replace_record(int records, const std::string& record, std::string_view text) {
    for (int i = 0; i < temporary_name_tries; ++i) {
        const std::string staged = temporary_name();
        FileDescriptor out(::openat(records, staged.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                    S_IRUSR | S_IWUSR));
        if (!out.valid()) {
            if (errno == EEXIST) continue;
            return call_error();
        }
        Error failed = write_all(out.get(), text);
        if (!failed && ::fsync(out.get()) != 0) failed = call_error();
        if (!failed && ::renameat(records, staged.c_str(), records, record.c_str()) != 0) failed = call_error();
        if (failed) {
            ::unlinkat(records, staged.c_str(), 0);
            return failed;
        }
        if (::fsync(records) != 0) return call_error();
        return {};
    }
    return error_of(EEXIST);
}

}  // namespace

// A short write of nothing is out of room.
Error write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) return call_error();
        if (written == 0) return error_of(ENOSPC);
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return {};
}

Error read_record(int folder, const std::string& record, std::vector<RecordLine>& lines, bool with_sources) {
    lines.clear();
    const Outcome<FileDescriptor> records = open_record_folder(folder, false);
    if (records.error == ENOENT) return {};
    if (records.failed()) return Error{records.error};
    std::string text;
    if (const Error failed = read_text(records.value.get(), record.c_str(), text)) return failed;
    lines = parse_record(text, with_sources);
    return {};
}

Error write_record(int folder, const std::string& record, const std::vector<RecordLine>& lines) {
    const Outcome<FileDescriptor> records = open_record_folder(folder, !lines.empty());
    if (lines.empty() && records.error == ENOENT) return {};
    if (records.failed()) return Error{records.error};
    const int at = records.value.get();
    if (lines.empty()) {
        if ((::unlinkat(at, record.c_str(), 0) != 0 && errno != ENOENT) || ::fsync(at) != 0) return call_error();
        forget_record_folder(folder);
        return {};
    }
    const Error failed = replace_record(at, record, record_text(lines));
    if (failed) forget_record_folder(folder);
    return failed;
}

RecordStream::~RecordStream() {
    if (staged_.empty()) return;
    ::unlinkat(records_.get(), staged_.c_str(), 0);
    forget_record_folder(folder_);
}

Error RecordStream::start() {
    Outcome<FileDescriptor> records = open_record_folder(folder_, true);
    if (records.failed()) return Error{records.error};
    records_ = std::move(records.value);
    for (int i = 0; i < temporary_name_tries; ++i) {
        std::string name = temporary_name();
        const int fd = ::openat(records_.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                S_IRUSR | S_IWUSR);
        if (fd >= 0) {
            ::close(fd);
            staged_ = std::move(name);
            return {};
        }
        if (errno != EEXIST) return call_error();
    }
    return error_of(EEXIST);
}

Error RecordStream::write_out() {
    const FileDescriptor out(::openat(records_.get(), staged_.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC));
    if (!out.valid()) return call_error();
    if (const Error failed = write_all(out.get(), pending_)) return failed;
    pending_.clear();
    return {};
}

Error RecordStream::add(const RecordLine& line) {
    // Small: the buffer is most of what a snapshot holds in memory.
    constexpr std::size_t buffered = std::size_t{1} << 14;
    pending_ += record_text({line});
    if (pending_.size() < buffered) return {};
    return write_out();
}

Error RecordStream::finish(const std::string& record, const std::string& backup) {
    if (const Error failed = read_record(folder_, record, before_)) return failed;
    for (const RecordLine& line : replaced_lines(before_, {backup}, {})) pending_ += record_text({line});
    return write_out();
}

Error RecordStream::commit(const std::string& record) {
    if (::renameat(records_.get(), staged_.c_str(), records_.get(), record.c_str()) != 0) return call_error();
    staged_.clear();
    if (::fsync(records_.get()) != 0) return call_error();
    return {};
}

// What the record held before is put back as well as can be: the failure
// being undone is the one reported.
void RecordStream::undo(const std::string& record) {
    static_cast<void>(write_record(folder_, record, before_));
}

Error change_record(int folder, const std::string& record, const std::vector<std::string>& names,
                    const std::vector<RecordLine>& added, std::vector<RecordLine>& before) {
    if (const Error failed = read_record(folder, record, before)) return failed;
    std::vector<RecordLine> after = replaced_lines(before, names, added);
    if (after == before) return {};
    return write_record(folder, record, after);
}

}  // namespace posix

namespace platform {

Outcome<std::vector<RecordLine>> recorded_lines(const std::string& folder_path, const std::string& record,
                                                bool with_sources) {
    using namespace posix;
    const Outcome<Folder> folder = open_folder(folder_path);
    if (folder.error == ENOENT) return std::vector<RecordLine>{};
    if (folder.failed()) return Error{folder.error};
    std::vector<RecordLine> lines;
    if (const Error failed = read_record(folder.value.fd.get(), record, lines, with_sources)) return failed;
    return lines;
}

Outcome<std::vector<std::string>> record_names(const std::string& folder_path) {
    using namespace posix;
    std::vector<std::string> names;
    const Outcome<Folder> folder = open_folder(folder_path);
    if (folder.error == ENOENT) return names;
    if (folder.failed()) return Error{folder.error};
    const Outcome<FileDescriptor> records = open_record_folder(folder.value.fd.get(), false);
    if (records.error == ENOENT) return names;
    if (records.failed()) return Error{records.error};
    std::vector<std::string> found;
    if (const Error failed = sorted_names(records.value.get(), found)) return failed;
    for (std::string& name : found) {
        if (!name.starts_with(".tesrak-")) names.push_back(std::move(name));
    }
    return names;
}

}  // namespace platform
