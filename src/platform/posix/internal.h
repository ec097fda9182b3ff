// What the POSIX platform files share: descriptors, error keeping, paths,
// temporary names, the folders inside the backup folder and the flush.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pthread.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "snapshot/record.h"
#include "tesrak.h"

namespace posix {

// A file's SHA-256 and its size in bytes.
struct Hashed {
    Digest digest = {};
    std::uint64_t size = 0;

    friend bool operator==(const Hashed&, const Hashed&) = default;
};

// The error a system call has just failed with, taken at once; never none,
// so that a failure can never pass for a success.
inline Error call_error() {
    return {errno != 0 ? static_cast<ErrorCode>(errno) : static_cast<ErrorCode>(EIO)};
}

inline Error error_of(int code) {
    return {static_cast<ErrorCode>(code)};
}

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
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
    // Hands the descriptor to an owner of another kind (a folder stream).
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_ = -1;
};

// Whether an owner is the runner or root: the only owners of backup folders
// and records that are used, since whoever owns one can change it.
inline bool runner_or_root(uid_t owner) {
    return owner == ::geteuid() || owner == 0;
}

// Whether a file system lacks a call (FAT through FUSE has neither chown
// nor chmod, exFAT no symbolic links).
inline bool call_unsupported(ErrorCode error) {
    return error == EOPNOTSUPP || error == ENOSYS;
}

// Whether the system lacks a flag of renameat2 (FUSE file systems).
inline bool flag_unsupported(ErrorCode error) {
    return error == EINVAL || call_unsupported(error);
}

// The folder part of a path and its last part.
std::pair<std::string, std::string> split_path(const std::string& path);

// What a symbolic link in a folder, of the size its status gave, points to;
// a link that grew in between fails (EAGAIN).
Error read_link(int folder, const char* name, off_t size, std::string& destination);

// A name for a file of this run's own that nothing else is likely to use
// (".tesrak-" and twelve letters or digits); the caller retries with another
// where it is taken.
std::string temporary_name();
inline constexpr int temporary_name_tries = 100;

// A folder that backups go into, opened before any work on them: every later
// step names files relative to it.
struct Folder {
    FileDescriptor fd;
    bool readable;      // only a readable folder can be flushed itself
    bool gives_an_acl;  // a file made in it may inherit an ACL from its default
};

// The extended attributes that hold a file's access ACL and a folder's default.
inline constexpr const char* access_acl = "system.posix_acl_access";
inline constexpr const char* default_acl = "system.posix_acl_default";

// The folders of a batch of backups, each opened once. The backup folder
// itself may be a link (the user's choice); every folder below it is opened
// relative to its parent without following links, made where it is missing
// (and flushed with its parent), and refused where it is a link or belongs to
// neither the runner nor root: nobody else may empty or replace what goes in.
class FolderTable {
public:
    // The folder of a path inside the backup folder, made where it is
    // missing.
    Outcome<const Folder*> open(const std::string& folder_path) { return open(folder_path, true); }
    // The same, but a missing folder is not made (the error is then ENOENT).
    Outcome<const Folder*> find(const std::string& folder_path) { return open(folder_path, false); }
    std::size_t size() const { return folders_.size(); }
    void clear() { folders_.clear(); }

private:
    Outcome<const Folder*> open(const std::string& folder_path, bool make);
    std::map<std::string, Folder> folders_;
};

// Opens a folder by its path as given, following links (the backup folder
// itself, or a source's folder).
Outcome<Folder> open_folder(const std::string& path);

// An entry whose owner, attributes, permission bits and times are read or
// given: an open file or folder (no name), or a name in an open folder, for
// what cannot be opened (a link, a FIFO, a device).
struct Node {
    int fd;
    const char* name;
};

// Reads a list or value whose size the call tells when given no room,
// again while it grows in between.
template <class Read>
Error read_sized(Read read, std::vector<char>& out) {
    for (;;) {
        const ssize_t size = read(nullptr, 0);
        if (size < 0) return call_error();
        out.resize(static_cast<std::size_t>(size));
        if (size == 0) return {};
        const ssize_t got = read(out.data(), out.size());
        if (got >= 0) {
            out.resize(static_cast<std::size_t>(got));
            return {};
        }
        if (errno != ERANGE) return call_error();
    }
}

// Whether two readings of a file's status see the same version of it.
bool same_version(const struct stat& before, const struct stat& after);

// Whether two open files hold the same bytes. Where asked, the first file's
// digest is taken on the way (complete only where the bytes are the same).
Outcome<bool> bytes_equal(int first, int second, Hashed* first_digest = nullptr);

// Gives an entry the source's owner, extended attributes (ACLs among them),
// permission bits and times, never granting more than the source: where the
// owner or the ACL cannot be kept, the bits that would grant more are
// cleared. An ACL the entry may have inherited from its folder, and the
// source lacks, is removed.
Error keep_metadata(const Node& from, const Node& to, const struct stat& source, bool may_have_inherited);

// Fails (EPERM) where the entry lets in more than the source: a file system
// that shows its own owner or permission bits whatever was set (exFAT shows
// 0777).
Error shows_no_more(const struct stat& source, const Node& node);

// Reads an open file from its start to its end and hashes it; where asked,
// the bytes count on the progress line.
Error digest_file(int fd, Hashed& hashed, bool count_progress = false);

// Hashes a copy on a thread of its own while the copy is written, so that
// the hash costs a large copy no time: the copier tells how far the copy is
// written, then its final size, and gets the digest. Where no thread can be
// started, or the copy is written again from its start, finish is false and
// the copy is hashed once it is whole.
class DigestFollower {
public:
    struct Shared;
    explicit DigestFollower(int fd);
    ~DigestFollower();
    DigestFollower(const DigestFollower&) = delete;
    DigestFollower& operator=(const DigestFollower&) = delete;
    void advance(off_t ready);
    bool finish(off_t size, Hashed& hashed);
    void abandon();

private:
    std::unique_ptr<Shared> shared_;
    pthread_t thread_{};
    bool running_ = false;
};

// Copies a regular file's data, as one consistent version, with its owner,
// extended attributes, permission bits and times, into a new file made in
// the folder: never granting more than the source. Where growth is taken, a
// source that only grew while it was read keeps what was copied and gets the
// rest. On success the status is that of the version copied.
// A copy's digest, or the follower still hashing it: a digest is wanted
// only when it is recorded, so a large copy is hashed while it is written
// to the disk.
struct PendingDigest {
    Hashed hashed;
    std::unique_ptr<DigestFollower> follower = nullptr;  // where still hashing
    off_t size = 0;
    int fd = -1;
    // The digest, waited for where the follower still hashes; an error where
    // the copy could not be read back.
    Error take(Hashed& out);
};
// The copy's digest is that of the bytes the copy holds.
Error fill(int from, int to, struct stat& source, const Folder& folder, bool take_growth, PendingDigest& digest);
// Appends what was added to the source since the version copied, and
// flushes the copy where anything was.
Error take_the_rest(int from, int to, struct stat& source);

// The file a copy is written into. It has no name (O_TMPFILE) or a temporary
// name in the folder, which is removed again unless it was handed on.
class StagedFile {
public:
    StagedFile() = default;
    StagedFile(FileDescriptor fd, int folder, std::string name)
        : fd_(std::move(fd)), folder_(folder), name_(std::move(name)) {}
    ~StagedFile() {
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
    int folder_ = -1;
    std::string name_;
};

// A new file in the folder, readable by its owner alone: without a name
// where the file system offers that, else under a temporary name.
Outcome<StagedFile> create_staged(const Folder& folder);
// Always under a temporary name.
Outcome<StagedFile> create_named(const Folder& folder);

// The files this run has given a backup's name, by device and inode: a copy
// never replaces one of them (on a folder that ignores case, two names of
// the run may be one).
using MadeFiles = std::set<std::pair<dev_t, ino_t>>;

// Whether a file took its name, or could not because the system lets no
// file without a name be linked (the caller writes a named one instead).
enum class Naming { named, not_permitted };

// Gives the finished file a name in the folder in one step. An earlier file
// of that name is replaced only where asked, and never one this run made.
Outcome<Naming> take_name(StagedFile& staged, const Folder& folder, const std::string& name, bool replace,
                 const MadeFiles& made);

// Renames without replacing; where the system cannot, a hard link does the
// same for anything but a folder.
Error rename_without_replacing(int from_folder, const char* from, int to_folder, const char* to);

struct FolderStreamCloser {
    void operator()(DIR* stream) const { ::closedir(stream); }
};
using FolderStream = std::unique_ptr<DIR, FolderStreamCloser>;

// The entries of a folder in another folder, opened without following a
// link.
Outcome<FolderStream> open_stream(int folder, const char* name);

// The next entry of a folder stream, "." and ".." left out; null at its end.
// The stream tells a failure from its end only through errno, so it is
// cleared first.
inline Outcome<const dirent*> next_entry(DIR* stream) {
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(stream);
        if (entry == nullptr && errno != 0) return call_error();
        if (entry == nullptr) return entry;
        const std::string_view name(entry->d_name);
        if (name != "." && name != "..") return entry;
    }
}

// Renames an entry of a folder to a fresh temporary name without replacing,
// and its name follows it. Where the system cannot, a plain rename after a
// look; there a tree of this run's own must keep its entries, else EIO
// (FAT through FUSE empties a folder that it renames).
Error rename_to_temporary(int at, std::string& name, bool own_tree);

// Removes a folder and everything in it, each entry relative to its open
// folder: a link is removed as a link, never followed.
Error remove_tree(int parent, const char* name);

// Makes a snapshot of an open folder's whole tree, in the folder under the
// name: built under a temporary name, every entry flushed, then renamed in
// one step. An earlier entry of that name (never one this run made) is
// exchanged with it, then removed, where asked; else the name taken fails
// (EEXIST). Where the system cannot exchange two entries, the earlier one is
// renamed aside instead; where a rename loses what the tree holds (FAT
// through FUSE), the snapshot fails (EIO). The snapshot is added to those
// made. Where an earlier snapshot of the folder is given, each file that is
// certainly unchanged since it is a hard link to the earlier one's file.
struct Earlier {
    int top;             // its top folder, opened without following a link; -1 for none
    std::string name;    // its name in the folder
    std::string record;  // the record of its files; none where empty
};
// What a snapshot leaves out (see left_out); a restore takes the whole
// backup and keeps the current tree's entries that the patterns leave out.
struct Exclusion {
    std::span<const std::string> patterns;
    bool restoring;
};
// The snapshot's files are recorded (where a record is named) before it
// takes its name. A restore checks each file against the backup's record
// lines (their paths from the backup's top) and fails (damaged_backup) on
// the first that differs.
// A snapshot's failure: its error, and the entry it failed on (its path from
// the top of the tree), where it failed on one.
struct SnapshotFailure {
    Error error;
    std::string entry = {};
};
SnapshotFailure make_snapshot(DIR* source, const Folder& folder, const std::string& name, MadeFiles& made,
                              bool replace, const Earlier& earlier, const Exclusion& exclusion,
                              const std::string& record, std::span<const RecordLine> recorded);

// Whether two open files have the same extended attributes (ACLs among them).
Outcome<bool> same_attributes(int one, int other);

// The names in an open folder, in order.
Error sorted_names(int folder, std::vector<std::string>& names);

// Records the exclude patterns of the snapshot of that name in an open
// backup folder, durably, before the snapshot takes its name; with none, a
// record left of an earlier snapshot of that name goes.
Error record_excludes(int folder, const std::string& name, std::span<const std::string> excludes);
// Removes the record of a snapshot that was removed, where there is one.
void forget_excludes(int folder, const std::string& name);

// Writes the whole text at the file's offset, however short each write
// (ENOSPC where a write took nothing).
Error write_all(int fd, std::string_view text);

// The lines of a record in an open backup folder; none where there is none.
Error read_record(int folder, const std::string& record, std::vector<RecordLine>& lines, bool with_sources = true);
// Replaces a record as a whole, durably (the file, then its folder, flushed);
// with no lines it goes.
Error write_record(int folder, const std::string& record, const std::vector<RecordLine>& lines);
// Replaces the lines of the backups named by those added; before holds the
// lines as they were, for an undo.
Error change_record(int folder, const std::string& record, const std::vector<std::string>& names,
                   const std::vector<RecordLine>& added, std::vector<RecordLine>& before);

// A snapshot's record, written as its files are copied: the lines go into a
// new file beside the records, a buffer at a time, so that memory does not
// grow with the tree. Once whole, the lines of other backups of that stamp
// join them; once the caller flushed the file system, the file takes the
// record's place and its folder is flushed. An undo puts back what the
// record held before.
class RecordStream {
public:
    explicit RecordStream(int folder) : folder_(folder) {}
    ~RecordStream();
    RecordStream(const RecordStream&) = delete;
    RecordStream& operator=(const RecordStream&) = delete;
    Error start();
    Error add(const RecordLine& line);
    // The record of that stamp gets these lines in place of the backup's.
    Error finish(const std::string& record, const std::string& backup);
    Error commit(const std::string& record);
    void undo(const std::string& record);

private:
    Error write_out();
    int folder_;
    FileDescriptor records_;
    std::string staged_;
    std::string pending_;
    std::vector<RecordLine> before_;
};

// Opens a backup's entry for reading without moving its access time, where
// the runner may (its owner, or root); else as any read does. As openat:
// -1 with errno set on failure.
int open_untouched(int at, const char* name, int flags);

// Opens a path below an open folder without following any link on the way
// or at its end (a link there is opened as itself only with O_PATH), and
// without moving access times where the runner may.
FileDescriptor open_beneath(int folder, const std::string& path, int flags);

// The clock now, in nanoseconds since 1970 (UTC).
Nanoseconds now_instant();
// A moment the system gave, the same way.
Nanoseconds instant_of(const timespec& moment);

// The local date and time of a moment the system gave.
mivo_systemtime local_time_of(const timespec& moment);
// Whether an entry of a tree stays out of its snapshots and comparisons: a
// pattern excludes it (the path is relative to the tree's top), or it is a
// folder holding a valid CACHEDIR.TAG (a cache, made again at will).
bool left_out(int parent, const char* name, const struct stat& status, std::string_view path,
              std::span<const std::string> excludes);
// What an entry's status says of it, as entry_status tells.
platform::EntryStatus status_of(const struct stat& status);
// The same moment in hundredths of a second since 1970.
std::int64_t hundredths_of(const timespec& moment);

// The progress line of a run (see platform::show_progress). The counts: what
// is done, and what there is to do where that is known.
struct ProgressCounts {
    std::uint64_t entries = 0;
    std::uint64_t bytes = 0;
    std::optional<std::uint64_t> entries_expected = {};
    std::optional<std::uint64_t> bytes_expected = {};
};
// The line's text after so many milliseconds: "3/10 entries, 1.2 GiB of 4.0
// GiB, 12.3 MiB/s", or without the totals where they are not known.
std::string progress_text(const ProgressCounts& counts, std::int64_t milliseconds);
// Whether the line may be shown: totals are worth finding only then.
bool progress_on();
// What the work that starts now has to do, where that is known.
void expect_progress(std::optional<std::uint64_t> entries, std::optional<std::uint64_t> bytes);
// An entry (a file, a folder, a link...) done, or bytes copied; the clock is
// looked at only after many entries or bytes.
void entry_done();
void bytes_done(std::uint64_t bytes);
// Whether the line stands on the terminal; it is erased (a carriage return
// and an erase to the end of the line) before anything else is written
// there, and when the process ends.
extern bool progress_line_shown;
void erase_progress_line();

// Flushes every descriptor to the disk, several at a time; the first
// failure's error where any failed.
Error flush_all(std::span<const int> descriptors);

// Flushes each of the folders that can be read, once.
Error flush_folders(std::span<const Folder* const> folders);

// Flushes the file system of an open entry on a thread of its own, for as
// long as it lives, whenever enough was copied since the last flush: the disk
// writes while a tree is copied, and the flush that makes it durable at the
// end waits for less. Nothing rests on these flushes.
class FlushingAlong {
public:
    struct Shared;
    explicit FlushingAlong(int fd);
    ~FlushingAlong();
    FlushingAlong(const FlushingAlong&) = delete;
    FlushingAlong& operator=(const FlushingAlong&) = delete;
    void copied(std::uint64_t bytes);

private:
    std::unique_ptr<Shared> shared_;
    pthread_t thread_{};
    bool running_ = false;
    bool tried_ = false;
};

}  // namespace posix
