// Copies and moves into the backup folders, made durable in batches: every
// backup that the run reports made is whole on the disk under its name, on a
// file system with a journal or without one.
#include <sys/resource.h>

#include <algorithm>
#include <ctime>
#include <optional>
#include <set>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/internal.h"
#include "snapshot/links.h"

namespace posix {

namespace {

// A copy written in full, content and metadata, beside its target: without a
// name (or with a temporary one), and not yet known to be on the disk.
struct StagedCopy {
    const Folder* folder;
    StagedFile file;
    std::string name;    // the target's name in the folder
    struct stat source;  // the version copied
    std::pair<dev_t, ino_t> identity;  // the copy's device and inode
    Hashed hashed;       // the copy's bytes, once taken from the digest
    std::string record;  // where its digest is recorded; none where empty
    PendingDigest digest;
    std::optional<Hashed> expected = std::nullopt;  // a restore's: what the backup's record holds
};

// The device and inode of an open file, taken before it has a name: a
// failure then leaves nothing under a backup's name.
Error identify(int fd, std::pair<dev_t, ino_t>& identity) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) return call_error();
    identity = {status.st_dev, status.st_ino};
    return {};
}

// Writes the copy of an open regular file into a new file in the target's
// folder, and starts writing it to the disk.
Error stage_copy(int in, struct stat& status, const Folder& folder, std::string name, bool take_growth,
                 std::string record, std::optional<StagedCopy>& staged) {
    if (!S_ISREG(status.st_mode)) return error_of(S_ISDIR(status.st_mode) ? EISDIR : EINVAL);
    Outcome<StagedFile> file = create_staged(folder);
    if (file.failed()) return Error{file.error};
    std::pair<dev_t, ino_t> identity;
    PendingDigest digest;
    if (const Error failed = fill(in, file.value.fd(), status, folder, take_growth, digest)) return failed;
    if (const Error failed = identify(file.value.fd(), identity)) return failed;
    // Copies staged together are then written out together.
    ::sync_file_range(file.value.fd(), 0, 0, SYNC_FILE_RANGE_WRITE);
    staged = StagedCopy{&folder, std::move(file.value), std::move(name), status, identity, {}, std::move(record),
                        std::move(digest)};
    return {};
}

// Opens a source (following a link) without blocking, so that a FIFO is
// refused rather than waited on.
Error open_source(const std::string& source, FileDescriptor& in, struct stat& status) {
    in = FileDescriptor(::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!in.valid() || ::fstat(in.get(), &status) != 0) return call_error();
    return {};
}

// What copies of the transfers have to do, for the progress line: where
// every source is a file, their number and sizes. A folder's tree is not
// counted beforehand, which would read it twice.
void expect_copies(std::span<const platform::Transfer> transfers) {
    if (!progress_on()) return;
    std::uint64_t bytes = 0;
    for (const platform::Transfer& transfer : transfers) {
        struct stat status {};
        if (::stat(transfer.source.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
            expect_progress(std::nullopt, std::nullopt);
            return;
        }
        bytes += static_cast<std::uint64_t>(status.st_size);
    }
    expect_progress(transfers.size(), bytes);
}

// A snapshot of an open folder, whose descriptor the walk takes over, in the
// folder of the transfer's target. It shares unchanged files with the
// earlier snapshot that the transfer names, where that stands in the same
// folder: opened there, so that no link on its way is followed.
SnapshotFailure snapshot_of(FileDescriptor folder_source, const Folder& folder, const platform::Transfer& transfer,
                            MadeFiles& made, bool replace, bool restoring, std::span<const RecordLine> recorded = {}) {
    const FolderStream stream(::fdopendir(folder_source.get()));
    if (!stream) return {call_error()};
    folder_source.release();
    const auto [folder_path, name] = split_path(transfer.target);
    const auto [earlier_path, earlier_name] = split_path(transfer.shares_with);
    const FileDescriptor earlier(transfer.shares_with.empty() || earlier_path != folder_path
                                     ? -1
                                     : ::openat(folder.fd.get(), earlier_name.c_str(),
                                                O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    return make_snapshot(stream.get(), folder, name, made, replace,
                         {earlier.get(), earlier_name, transfer.shares_record}, {transfer.excludes, restoring},
                         transfer.record, recorded);
}

// Gives a flushed copy its name. Where the process may name a file without a
// name neither way, the copy is copied once more, into a named temporary
// file, which is flushed and takes the name instead.
Error take_final_name(StagedCopy& copy, bool replace, MadeFiles& made) {
    Outcome<Naming> naming = take_name(copy.file, *copy.folder, copy.name, replace, made);
    if (!naming.failed() && naming.value == Naming::not_permitted) {
        Outcome<StagedFile> named = create_named(*copy.folder);
        if (named.failed()) return Error{named.error};
        struct stat status {};
        if (::fstat(copy.file.fd(), &status) != 0) return call_error();
        PendingDigest digest;
        Hashed again;
        if (const Error failed = fill(copy.file.fd(), named.value.fd(), status, *copy.folder, false, digest)) {
            return failed;
        }
        if (const Error failed = digest.take(again)) return failed;
        // The copy read back must hold what was recorded of it.
        if (again != copy.hashed) return error_of(EIO);
        if (::fsync(named.value.fd()) != 0) return call_error();
        if (const Error failed = identify(named.value.fd(), copy.identity)) return failed;
        copy.file = std::move(named.value);
        naming = take_name(copy.file, *copy.folder, copy.name, replace, made);
        if (!naming.failed() && naming.value == Naming::not_permitted) return error_of(EPERM);
    }
    if (naming.failed()) return Error{naming.error};
    made.insert(copy.identity);
    return {};
}

// What to flush so that the copies' data is beyond the disk's cache before
// any of them takes its name: one folder's flush empties the cache for all
// (and commits a journal), but a folder that may not be read cannot be
// flushed, so there each copy is flushed itself.
std::vector<int> cache_flushes(std::span<const StagedCopy> copies) {
    std::vector<int> descriptors;
    for (const StagedCopy& copy : copies) {
        const int fd = copy.folder->readable ? copy.folder->fd.get() : copy.file.fd();
        if (std::find(descriptors.begin(), descriptors.end(), fd) == descriptors.end()) descriptors.push_back(fd);
    }
    return descriptors;
}

// Flushes named copies and their folders, so that each copy's link count and
// name are on the disk without relying on a journal. A folder that may not
// be read cannot be flushed: the flush of the file after it took its name
// commits the name on ext4 and XFS.
Error flush_names(std::span<const StagedCopy> copies) {
    std::vector<int> descriptors;
    std::vector<const Folder*> folders;
    for (const StagedCopy& copy : copies) {
        descriptors.push_back(copy.file.fd());
        if (folders.empty() || folders.back() != copy.folder) folders.push_back(copy.folder);
    }
    if (const Error failed = flush_all(descriptors)) return failed;
    return flush_folders(folders);
}

constexpr unsigned wait_for_data = SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;

// The record line of a staged copy.
RecordLine record_line(const StagedCopy& copy) {
    return {copy.name, copy.hashed.digest, copy.hashed.size};
}

// The copies of a batch whose digests go into one record of one folder.
struct RecordGroup {
    const Folder* folder;
    std::string record;
    std::vector<std::size_t> copies;
    std::vector<RecordLine> before;  // the record as it was
};

std::vector<RecordGroup> record_groups(std::span<const StagedCopy> copies) {
    std::vector<RecordGroup> groups;
    for (std::size_t i = 0; i < copies.size(); ++i) {
        if (copies[i].record.empty()) continue;
        auto group = std::find_if(groups.begin(), groups.end(), [&](const RecordGroup& g) {
            return g.folder == copies[i].folder && g.record == copies[i].record;
        });
        if (group == groups.end()) group = groups.insert(groups.end(), {copies[i].folder, copies[i].record, {}, {}});
        group->copies.push_back(i);
    }
    return groups;
}

// After names failed: each record keeps the lines of the copies that took
// their names, and what it held before of the rest, as well as it can (the
// failure reported is the one that came first).
void record_only_named(std::span<const StagedCopy> copies, std::size_t named, std::vector<RecordGroup>& groups) {
    for (RecordGroup& group : groups) {
        std::vector<std::string> names;
        std::vector<RecordLine> added;
        for (const std::size_t i : group.copies) {
            if (i >= named) continue;
            names.push_back(copies[i].name);
            added.push_back(record_line(copies[i]));
        }
        static_cast<void>(write_record(group.folder->fd.get(), group.record, replaced_lines(group.before, names, added)));
    }
}

// Records the copies' digests, durably, before any of them takes its name:
// no backup stands without its record. A name that stands already, where
// none is replaced, fails here (EEXIST) as it would when taken, so that
// its record is never touched. Returns how many copies are ready, and why
// not all.
platform::Batch record_copies(std::span<const StagedCopy> copies, bool replace, std::vector<RecordGroup>& groups) {
    std::size_t ready = copies.size();
    if (!replace) {
        for (std::size_t i = 0; i < ready; ++i) {
            struct stat status {};
            if (::fstatat(copies[i].folder->fd.get(), copies[i].name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
                ready = i;
            }
        }
    }
    groups = record_groups(copies.first(ready));
    for (RecordGroup& group : groups) {
        std::vector<std::string> names;
        std::vector<RecordLine> added;
        for (const std::size_t i : group.copies) {
            names.push_back(copies[i].name);
            added.push_back(record_line(copies[i]));
        }
        if (const Error failed = change_record(group.folder->fd.get(), group.record, names, added, group.before)) {
            // The records changed before this one take back their lines.
            groups.erase(groups.begin() + (&group - groups.data()), groups.end());
            record_only_named(copies, 0, groups);
            return {0, failed.code};
        }
    }
    // The first name that stands fails as taking it would.
    return {ready, ready < copies.size() ? ErrorCode{EEXIST} : 0};
}

// Makes staged copies durable under their names: their data is written and
// flushed, their digests recorded, they take their names in order, then the
// names are flushed. Returns how many were made, those before the first that
// failed, and its failure; the names taken before a failure are flushed all
// the same.
platform::Batch publish(std::span<StagedCopy> copies, MadeFiles& made, bool replace) {
    platform::Batch batch{copies.size()};
    const auto failed_at = [&](std::size_t i, Error failure) {
        if (i < batch.made) {
            batch.made = i;
            batch.error = failure.code;
        }
    };
    for (std::size_t i = 0; i < batch.made; ++i) {
        if (::sync_file_range(copies[i].file.fd(), 0, 0, wait_for_data) != 0) failed_at(i, call_error());
    }
    if (const Error failed = flush_all(cache_flushes(copies.first(batch.made)))) failed_at(0, failed);
    // Large copies were hashed while they went to the disk.
    for (std::size_t i = 0; i < batch.made; ++i) {
        if (const Error failed = copies[i].digest.take(copies[i].hashed)) {
            failed_at(i, failed);
        } else if (copies[i].expected && *copies[i].expected != copies[i].hashed) {
            failed_at(i, Error{platform::damaged_backup});
        }
    }
    std::vector<RecordGroup> groups;
    const platform::Batch recorded = record_copies(copies.first(batch.made), replace, groups);
    if (recorded.made < batch.made) failed_at(recorded.made, Error{recorded.error});
    for (std::size_t i = 0; i < batch.made; ++i) {
        if (const Error failed = take_final_name(copies[i], replace, made)) failed_at(i, failed);
    }
    if (batch.made < recorded.made) record_only_named(copies, batch.made, groups);
    // Where only this flush failed, the copies stand whole under their names.
    if (const Error failed = flush_names(copies.first(batch.made))) failed_at(0, failed);
    return batch;
}

// How many copies are staged before they are flushed and named together.
constexpr std::size_t most_in_a_batch = 1024;

// How many descriptors a batch may hold (a copy holds one, a folder one),
// some being left for the rest of the run.
std::size_t descriptors_for_a_batch() {
    constexpr rlim_t kept_for_the_run = 16;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur <= kept_for_the_run) return 1;
    return std::min<rlim_t>(limit.rlim_cur - kept_for_the_run, most_in_a_batch);
}

Error move_symbolic_link(const std::string& source, const Folder& folder, const std::string& name, off_t size) {
    std::string destination;
    if (const Error failed = read_link(AT_FDCWD, source.c_str(), size, destination)) return failed;
    if (::symlinkat(destination.c_str(), folder.fd.get(), name.c_str()) != 0) return call_error();
    if (::unlink(source.c_str()) == 0) return {};
    const Error failed = call_error();
    ::unlinkat(folder.fd.get(), name.c_str(), 0);
    return failed;
}

// Writers that opened a source before it was removed may still add to it:
// their writes are taken until the last of them has closed it (a read lease
// is granted only on a file that nobody holds open for writing), for a
// moment at most, or once where the system cannot tell. Each take flushes
// what it added; the first that fails ends them.
Error take_the_last_writes(int from, int to, struct stat& source) {
    constexpr int most_waits = 100;
    constexpr timespec moment{0, 1000000};
    for (int wait = 0; wait < most_waits; ++wait) {
        const bool alone = ::fcntl(from, F_SETLEASE, F_RDLCK) == 0;
        const bool untold = !alone && errno != EAGAIN;
        if (alone) ::fcntl(from, F_SETLEASE, F_UNLCK);
        if (const Error failed = take_the_rest(from, to, source)) return failed;
        if (alone || untold) return {};
        ::nanosleep(&moment, nullptr);
    }
    return {};
}

// A move to another file system, as Windows does it: the file is copied
// without replacing and made durable, then the source removed. A source that
// grew meanwhile (a log being written) gives its copy the rest first; one
// that cannot be removed has its copy removed again. Folders are not moved
// this way. Once the source is gone the move is made; writes to it that came
// later and could not be taken, or recorded, are told in writes_lost.
Error move_across_file_systems(const std::string& source, const Folder& folder, const std::string& name,
                               const std::string& record, Error& writes_lost) {
    struct stat status {};
    if (::lstat(source.c_str(), &status) != 0) return call_error();
    if (S_ISLNK(status.st_mode)) return move_symbolic_link(source, folder, name, status.st_size);
    if (!S_ISREG(status.st_mode)) return error_of(EXDEV);
    const FileDescriptor in(::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!in.valid() || ::fstat(in.get(), &status) != 0) return call_error();
    std::optional<StagedCopy> copy;
    if (const Error failed = stage_copy(in.get(), status, folder, name, true, record, copy)) return failed;
    if (::fsync(copy->file.fd()) != 0) return call_error();
    if (const Error failed = copy->digest.take(copy->hashed)) return failed;
    std::vector<RecordGroup> groups;
    if (const platform::Batch recorded = record_copies({&*copy, 1}, false, groups); recorded.made != 1) {
        return Error{recorded.error};
    }
    MadeFiles none;
    if (const Error failed = take_final_name(*copy, false, none)) {
        record_only_named({&*copy, 1}, 0, groups);
        return failed;
    }
    const int fd = copy->file.fd();
    Error failed = flush_names({&*copy, 1});
    if (!failed) failed = take_the_rest(in.get(), fd, copy->source);
    if (!failed && ::unlink(source.c_str()) != 0) failed = call_error();
    if (failed) {
        record_only_named({&*copy, 1}, 0, groups);
        ::unlinkat(folder.fd.get(), name.c_str(), 0);
        return failed;
    }
    // The move is made: what fails from here on cannot undo it, and the
    // file is whole in the backup as it was when the source went. What
    // writers added since is taken and recorded too.
    writes_lost = take_the_last_writes(in.get(), fd, copy->source);
    std::vector<RecordLine> before;
    if (!writes_lost && static_cast<std::uint64_t>(copy->source.st_size) != copy->hashed.size) {
        writes_lost = digest_file(fd, copy->hashed);
        if (!writes_lost) writes_lost = change_record(folder.fd.get(), record, {name}, {record_line(*copy)}, before);
    }
    return {};
}

enum class Moved { renamed, copied };

Outcome<Moved> move_one(const std::string& source, const Folder& folder, const std::string& name,
                        const std::string& record, Error& writes_lost) {
    const Error refused = rename_without_replacing(AT_FDCWD, source.c_str(), folder.fd.get(), name.c_str());
    if (!refused) return Moved::renamed;
    if (refused.code != EXDEV) return refused;
    if (const Error failed = move_across_file_systems(source, folder, name, record, writes_lost)) return failed;
    return Moved::copied;
}

// The moves made since their folders were last flushed.
struct MoveBatch {
    FolderTable folders;
    std::set<const Folder*> targets;
    std::set<std::string> sources;
    std::vector<std::size_t> renamed;  // of the transfers, those renamed
};

// Flushes each folder that the batch's backups went into and each that its
// sources left (where it can be read), so that the renames are on the disk.
// Where that fails, the renamed files are moved back, last first (a move to
// another file system was made durable before its source went); returns the
// first moved back, or none, and the flush's error.
std::optional<std::size_t> settle(MoveBatch& batch, std::span<const platform::Transfer> transfers, Error& error) {
    std::vector<Folder> sources;
    sources.reserve(batch.sources.size());
    std::vector<const Folder*> folders(batch.targets.begin(), batch.targets.end());
    for (const std::string& path : batch.sources) {
        Outcome<Folder> source = open_folder(path);
        if (source.failed()) continue;
        sources.push_back(std::move(source.value));
        folders.push_back(&sources.back());
    }
    std::optional<std::size_t> first_undone;
    const Error failed = flush_folders(folders);
    if (failed) {
        for (auto i = batch.renamed.rbegin(); i != batch.renamed.rend(); ++i) {
            const auto [folder_path, name] = split_path(transfers[*i].target);
            const Outcome<const Folder*> folder = batch.folders.open(folder_path);
            if (folder.failed() || rename_without_replacing(folder.value->fd.get(), name.c_str(), AT_FDCWD,
                                                            transfers[*i].source.c_str())) {
                break;
            }
            first_undone = *i;
        }
    }
    error = failed;
    batch.folders.clear();
    batch.targets.clear();
    batch.sources.clear();
    batch.renamed.clear();
    return first_undone;
}

// Whether a link may be followed: it belongs to the runner or to the owner
// of the folder that holds it.
Error trusted(const struct stat& link, const std::string& folder) {
    struct stat holder {};
    if (link.st_uid == ::geteuid()) return {};
    if (::stat(folder.c_str(), &holder) != 0) return call_error();
    return link_followed(link.st_uid, ::geteuid(), holder.st_uid) ? Error{} : error_of(EPERM);
}

// The file a path names, following trusted links (at most as many as the
// system follows in one lookup): where a link's target is missing, its path.
// An error where a link is not to be trusted.
Error follow(std::string& path) {
    constexpr int most_links = 40;
    for (int i = 0;; ++i) {
        struct stat status {};
        std::string destination;
        if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return {};
        // A chain longer than the system follows in one lookup ends as its own would.
        if (i == most_links) return error_of(ELOOP);
        std::string folder = split_path(path).first;
        if (const Error failed = trusted(status, folder)) return failed;
        if (const Error failed = read_link(AT_FDCWD, path.c_str(), status.st_size, destination)) return failed;
        if (destination.starts_with('/') || folder == ".") {
            path = std::move(destination);
        } else {
            path = std::move((folder += '/') += destination);
        }
    }
}

// A backup from a file system that shows its own permission bits (exFAT
// shows 0777) tells nothing of the file's: the restored file keeps the mode
// and owner of the file it replaces, or a new one gets what the umask gives.
Error keep_own_permissions(const StagedCopy& copy, const std::string& path) {
    // A file system without modes (FAT) showed what it allows when the copy was made.
    const auto set_mode = [&](mode_t mode) {
        if (::fchmod(copy.file.fd(), mode) == 0 || call_unsupported(static_cast<ErrorCode>(errno))) return Error{};
        return call_error();
    };
    struct stat current {};
    if (::stat(path.c_str(), &current) == 0) {
        // Where the owner cannot be given, the file is the runner's, who
        // gets no set-user or set-group bits from it.
        mode_t mode = current.st_mode & 07777;
        if (::fchown(copy.file.fd(), current.st_uid, current.st_gid) != 0) {
            if (errno != EPERM && !call_unsupported(static_cast<ErrorCode>(errno))) return call_error();
            mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
        }
        return set_mode(mode);
    }
    if (errno != ENOENT) return call_error();
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return set_mode(0666 & ~mask);
}

// Puts a link back as a link, from its open folder: made under a temporary
// name beside the path with the backup's destination, owner and times, then
// renamed over it; where told not to replace, it takes a name that nothing has.
Error restore_link_from(int from, const std::string& from_name, const struct stat& status, const Folder& folder,
                        const std::string& name, bool replace) {
    std::string destination;
    if (const Error failed = read_link(from, from_name.c_str(), status.st_size, destination)) return failed;
    const int at = folder.fd.get();
    for (int i = 0; i < temporary_name_tries; ++i) {
        const std::string temporary = temporary_name();
        if (::symlinkat(destination.c_str(), at, temporary.c_str()) != 0) {
            if (errno == EEXIST) continue;
            return call_error();
        }
        Error failed = keep_metadata({from, from_name.c_str()}, {at, temporary.c_str()}, status, false);
        if (!failed && replace && ::renameat(at, temporary.c_str(), at, name.c_str()) != 0) failed = call_error();
        if (!failed && !replace) failed = rename_without_replacing(at, temporary.c_str(), at, name.c_str());
        if (!failed) {
            const Folder* const folders[] = {&folder};
            return flush_folders(folders);
        }
        ::unlinkat(at, temporary.c_str(), 0);
        return failed;
    }
    return error_of(EEXIST);
}

// Makes each missing folder of a path, outermost first, each flushed with
// its parent.
Error make_folders(const std::string& path) {
    for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        if (const Error failed = platform::create_folder(path.substr(0, end)); failed.code != EEXIST && failed) {
            return failed;
        }
        if (end == std::string::npos) return {};
    }
}

}  // namespace

}  // namespace posix

namespace platform {

Batch copy_files(std::span<const Transfer> transfers, bool replace) {
    using namespace posix;
    const std::size_t room = descriptors_for_a_batch();
    expect_copies(transfers);
    MadeFiles made;
    Batch done;
    while (done.made < transfers.size()) {
        // Each folder is opened once, before any work on the copies that go
        // into it. A folder is snapshot by itself, once the copies staged
        // before it are made.
        FolderTable folders;
        std::vector<StagedCopy> staged;
        Error stopped;
        FileDescriptor folder_source;
        const Folder* snapshot_folder = nullptr;
        while (!stopped && !folder_source.valid() && done.made + staged.size() < transfers.size() &&
               (staged.empty() || staged.size() + folders.size() < room)) {
            const Transfer& transfer = transfers[done.made + staged.size()];
            auto [folder_path, name] = split_path(transfer.target);
            const Outcome<const Folder*> folder = folders.open(folder_path);
            FileDescriptor in;
            struct stat status {};
            std::optional<StagedCopy> copy;
            if (folder.failed()) {
                stopped = Error{folder.error};
            } else if (!(stopped = open_source(transfer.source, in, status)) && S_ISDIR(status.st_mode)) {
                folder_source = std::move(in);
                snapshot_folder = folder.value;
                break;
            } else if (!stopped) {
                stopped = stage_copy(in.get(), status, *folder.value, std::move(name), false, transfer.record, copy);
            }
            if (copy) {
                staged.push_back(std::move(*copy));
                entry_done();
            }
        }
        // The copies staged before a failure are made all the same.
        const Batch published = publish(staged, made, replace);
        done.made += published.made;
        if (published.made < staged.size()) return {done.made, published.error};
        if (stopped) return {done.made, stopped.code};
        if (folder_source.valid()) {
            const Transfer& transfer = transfers[done.made];
            const std::string name = split_path(transfer.target).second;
            if (const Error failed = record_excludes(snapshot_folder->fd.get(), name, transfer.excludes)) {
                return {done.made, failed.code};
            }
            const SnapshotFailure failed =
                snapshot_of(std::move(folder_source), *snapshot_folder, transfer, made, replace, false);
            if (failed.error) return {done.made, failed.error.code, failed.entry};
            ++done.made;
        }
    }
    return done;
}

Batch move_files_without_replacing(std::span<const Transfer> transfers) {
    using namespace posix;
    const std::size_t room = descriptors_for_a_batch();
    // A rename moves no bytes: only those copied to another file system count.
    expect_progress(transfers.size(), std::nullopt);
    MoveBatch batch;
    Error flushed;
    // The first move whose source took writes that its backup lacks.
    std::optional<std::pair<std::size_t, ErrorCode>> lost;
    // Once per folder, after the renames; sooner only where the folders
    // would hold too many descriptors.
    for (std::size_t moved = 0; moved < transfers.size(); ++moved) {
        const Transfer& transfer = transfers[moved];
        auto [folder_path, name] = split_path(transfer.target);
        const Outcome<const Folder*> folder = batch.folders.open(folder_path);
        Error writes_lost;
        const Outcome<Moved> how = folder.failed()
                                       ? Outcome<Moved>(Error{folder.error})
                                       : move_one(transfer.source, *folder.value, name, transfer.record, writes_lost);
        if (writes_lost && !lost) lost = {moved, writes_lost.code};
        if (how.failed()) {
            // The moves made before a failure are flushed all the same.
            const std::optional<std::size_t> undone = settle(batch, transfers, flushed);
            return {undone.value_or(moved), how.error, {}, lost};
        }
        entry_done();
        if (how.value == Moved::renamed) batch.renamed.push_back(moved);
        batch.targets.insert(folder.value);
        batch.sources.insert(split_path(transfer.source).first);
        if (batch.folders.size() >= room) {
            if (const std::optional<std::size_t> undone = settle(batch, transfers, flushed)) {
                return {*undone, flushed.code};
            }
        }
    }
    if (const std::optional<std::size_t> undone = settle(batch, transfers, flushed)) {
        return {*undone, flushed.code, {}, lost};
    }
    return {transfers.size(), 0, {}, lost};
}

Error links_trusted(const std::string& path) {
    std::string followed = path;
    return posix::follow(followed);
}

// The version is read from its folder in the backup, reached without a link
// and opened without following one: whoever owns a snapshot's inner folders
// cannot send the restore elsewhere.
Error restore_version(const std::string& folder, const std::string& path, const std::string& target_path,
                      bool replace, std::span<const std::string> excludes, std::span<const RecordLine> recorded) {
    using namespace posix;
    FolderTable folders;
    const Outcome<const Folder*> backups = folders.find(folder);
    if (backups.failed()) return Error{backups.error};
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const FileDescriptor holder = slash == std::string::npos
                                      ? FileDescriptor()
                                      : open_beneath(backups.value->fd.get(), path.substr(0, slash),
                                                     O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (slash != std::string::npos && !holder.valid()) return call_error();
    const int from = slash == std::string::npos ? backups.value->fd.get() : holder.get();
    struct stat status {};
    if (::fstatat(from, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return call_error();
    expect_progress(std::nullopt, std::nullopt);
    const bool link = S_ISLNK(status.st_mode);
    std::string target = target_path;
    if (replace && !link) {
        if (const Error failed = follow(target)) return failed;
    }
    const auto [target_folder, target_name] = split_path(target);
    if (target_folder != ".") {
        if (const Error failed = make_folders(target_folder)) return failed;
    }
    const Outcome<Folder> to = open_folder(target_folder);
    if (to.failed()) return Error{to.error};
    // A new entry: nothing at its name is replaced, nor moved into it.
    struct stat standing {};
    if (!replace && ::fstatat(to.value.fd.get(), target_name.c_str(), &standing, AT_SYMLINK_NOFOLLOW) == 0) {
        return error_of(EEXIST);
    }
    if (link) return restore_link_from(from, name, status, to.value, target_name, replace);
    FileDescriptor in(open_untouched(from, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (!in.valid() || ::fstat(in.get(), &status) != 0) return call_error();
    MadeFiles made;
    if (S_ISDIR(status.st_mode)) {
        const Transfer restored{path, target, {}, {excludes.begin(), excludes.end()}};
        const std::vector<RecordLine> inside = lines_inside({recorded.begin(), recorded.end()}, path);
        return snapshot_of(std::move(in), to.value, restored, made, replace, true, inside).error;
    }
    std::optional<StagedCopy> copy;
    if (const Error failed = stage_copy(in.get(), status, to.value, target_name, false, {}, copy)) return failed;
    entry_done();
    // Where that cannot be told, the file keeps its own.
    const Outcome<bool> keeps = platform::keeps_permissions(folder);
    if (keeps.failed() || !keeps.value) {
        if (const Error failed = keep_own_permissions(*copy, target)) return failed;
    }
    for (const RecordLine& line : recorded) {
        if (line.path == path) copy->expected = Hashed{line.digest, line.size};
    }
    return Error{publish({&*copy, 1}, made, replace).error};
}

}  // namespace platform
