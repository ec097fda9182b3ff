// Copies and moves into the backup folders, made durable in batches: every
// backup that the run reports made is whole on the disk under its name, on a
// file system with a journal or without one.
#include <sys/resource.h>

#include <algorithm>
#include <ctime>
#include <optional>
#include <set>
#include <vector>

#include "history/policy.h"
#include "platform/platform.h"
#include "platform/posix/internal.h"

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
bool identify(int fd, std::pair<dev_t, ino_t>& identity) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) return false;
    identity = {status.st_dev, status.st_ino};
    return true;
}

// Writes the copy of an open regular file into a new file in the target's
// folder, and starts writing it to the disk.
std::optional<StagedCopy> stage_copy(int in, struct stat& status, const Folder& folder, std::string name,
                                     bool take_growth, std::string record) {
    if (!S_ISREG(status.st_mode)) {
        failed_with(S_ISDIR(status.st_mode) ? EISDIR : EINVAL);
        return std::nullopt;
    }
    StagedFile file = create_staged(folder);
    std::pair<dev_t, ino_t> identity;
    PendingDigest digest;
    if (!file.valid() || !fill(in, file.fd(), status, folder, take_growth, digest) || !identify(file.fd(), identity)) {
        return std::nullopt;
    }
    // Copies staged together are then written out together.
    ::sync_file_range(file.fd(), 0, 0, SYNC_FILE_RANGE_WRITE);
    return StagedCopy{&folder, std::move(file), std::move(name), status, identity, {}, std::move(record),
                      std::move(digest)};
}

// Opens a source (following a link) without blocking, so that a FIFO is
// refused rather than waited on.
bool open_source(const std::string& source, FileDescriptor& in, struct stat& status) {
    in = FileDescriptor(::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    return in.valid() && ::fstat(in.get(), &status) == 0;
}

// What copies of the transfers have to do, for the progress line: where
// every source is a file, their number and sizes. A folder's tree is not
// counted beforehand, which would read it twice.
void expect_copies(std::span<const platform::Transfer> transfers) {
    if (!progress_on()) return;
    const ErrnoKeeper keep;
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
bool snapshot_of(FileDescriptor folder_source, const Folder& folder, const platform::Transfer& transfer,
                 MadeFiles& made, bool replace, bool restoring, std::span<const RecordLine> recorded = {}) {
    const FolderStream stream(::fdopendir(folder_source.get()));
    if (!stream) return false;
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
bool take_final_name(StagedCopy& copy, bool replace, MadeFiles& made) {
    Naming naming = take_name(copy.file, *copy.folder, copy.name, replace, made);
    if (naming == Naming::not_permitted) {
        StagedFile named = create_named(*copy.folder);
        struct stat status {};
        PendingDigest digest;
        Hashed again;
        if (!named.valid() || ::fstat(copy.file.fd(), &status) != 0 ||
            !fill(copy.file.fd(), named.fd(), status, *copy.folder, false, digest) || !digest.take(again) ||
            again != copy.hashed ||
            ::fsync(named.fd()) != 0 ||
            !identify(named.fd(), copy.identity)) {
            return false;
        }
        copy.file = std::move(named);
        naming = take_name(copy.file, *copy.folder, copy.name, replace, made);
    }
    if (naming != Naming::named) return false;
    made.insert(copy.identity);
    return true;
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
bool flush_names(std::span<const StagedCopy> copies) {
    std::vector<int> descriptors;
    std::vector<const Folder*> folders;
    for (const StagedCopy& copy : copies) {
        descriptors.push_back(copy.file.fd());
        if (folders.empty() || folders.back() != copy.folder) folders.push_back(copy.folder);
    }
    return flush_all(descriptors) && flush_folders(folders);
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
// their names, and what it held before of the rest.
void record_only_named(std::span<const StagedCopy> copies, std::size_t named, std::vector<RecordGroup>& groups) {
    const ErrnoKeeper keep;
    for (RecordGroup& group : groups) {
        std::vector<std::string> names;
        std::vector<RecordLine> added;
        for (const std::size_t i : group.copies) {
            if (i >= named) continue;
            names.push_back(copies[i].name);
            added.push_back(record_line(copies[i]));
        }
        write_record(group.folder->fd.get(), group.record, replaced_lines(group.before, names, added));
    }
}

// Records the copies' digests, durably, before any of them takes its name:
// no backup stands without its record. A name that stands already, where
// none is replaced, fails here (EEXIST) as it would when taken, so that
// its record is never touched. Returns how many copies are ready.
std::size_t record_copies(std::span<const StagedCopy> copies, bool replace, std::vector<RecordGroup>& groups) {
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
        if (!change_record(group.folder->fd.get(), group.record, names, added, group.before)) {
            // The records changed before this one take back their lines.
            groups.erase(groups.begin() + (&group - groups.data()), groups.end());
            record_only_named(copies, 0, groups);
            return 0;
        }
    }
    // The first name that stands fails as taking it would.
    if (ready < copies.size()) failed_with(EEXIST);
    return ready;
}

// Makes staged copies durable under their names: their data is written and
// flushed, their digests recorded, they take their names in order, then the
// names are flushed. Returns how many were made, those before the first that
// failed (the error indicator then holds its failure); the names taken
// before a failure are flushed all the same.
std::size_t publish(std::span<StagedCopy> copies, MadeFiles& made, bool replace) {
    std::size_t ready = copies.size();
    int error = 0;
    const auto failed_at = [&](std::size_t i) {
        if (i < ready) {
            ready = i;
            error = errno;
        }
    };
    for (std::size_t i = 0; i < ready; ++i) {
        if (::sync_file_range(copies[i].file.fd(), 0, 0, wait_for_data) != 0) failed_at(i);
    }
    if (!flush_all(cache_flushes(copies.first(ready)))) failed_at(0);
    // Large copies were hashed while they went to the disk.
    for (std::size_t i = 0; i < ready; ++i) {
        if (!copies[i].digest.take(copies[i].hashed) ||
            (copies[i].expected && *copies[i].expected != copies[i].hashed &&
             !failed_with(static_cast<int>(platform::damaged_backup)))) {
            failed_at(i);
        }
    }
    std::vector<RecordGroup> groups;
    const std::size_t recorded = record_copies(copies.first(ready), replace, groups);
    if (recorded < ready) failed_at(recorded);
    for (std::size_t i = 0; i < ready; ++i) {
        if (!take_final_name(copies[i], replace, made)) failed_at(i);
    }
    if (ready < recorded) record_only_named(copies, ready, groups);
    // Where only this flush failed, the copies stand whole under their names.
    if (!flush_names(copies.first(ready))) failed_at(0);
    errno = error;
    return ready;
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

bool remove_named(const Folder& folder, const std::string& name) {
    const ErrnoKeeper keep;
    ::unlinkat(folder.fd.get(), name.c_str(), 0);
    return false;
}

bool move_symbolic_link(const std::string& source, const Folder& folder, const std::string& name, off_t size) {
    std::string destination;
    if (!read_link(AT_FDCWD, source.c_str(), size, destination)) return false;
    if (::symlinkat(destination.c_str(), folder.fd.get(), name.c_str()) != 0) return false;
    return ::unlink(source.c_str()) == 0 || remove_named(folder, name);
}

// Writers that opened a source before it was removed may still add to it:
// their writes are taken until the last of them has closed it (a read lease
// is granted only on a file that nobody holds open for writing), for a
// moment at most, or once where the system cannot tell. Each take flushes
// what it added.
void take_the_last_writes(int from, int to, struct stat& source) {
    constexpr int most_waits = 100;
    constexpr timespec moment{0, 1000000};
    for (int wait = 0; wait < most_waits; ++wait) {
        const bool alone = ::fcntl(from, F_SETLEASE, F_RDLCK) == 0;
        const bool untold = !alone && errno != EAGAIN;
        if (alone) ::fcntl(from, F_SETLEASE, F_UNLCK);
        take_the_rest(from, to, source);
        if (alone || untold) return;
        ::nanosleep(&moment, nullptr);
    }
}

// A move to another file system, as Windows does it: the file is copied
// without replacing and made durable, then the source removed. A source that
// grew meanwhile (a log being written) gives its copy the rest first; one
// that cannot be removed has its copy removed again. Folders are not moved
// this way.
bool move_across_file_systems(const std::string& source, const Folder& folder, const std::string& name,
                              const std::string& record) {
    struct stat status {};
    if (::lstat(source.c_str(), &status) != 0) return false;
    if (S_ISLNK(status.st_mode)) return move_symbolic_link(source, folder, name, status.st_size);
    if (!S_ISREG(status.st_mode)) return failed_with(EXDEV);
    const FileDescriptor in(::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!in.valid() || ::fstat(in.get(), &status) != 0) return false;
    std::optional<StagedCopy> copy = stage_copy(in.get(), status, folder, name, true, record);
    MadeFiles none;
    if (!copy || ::fsync(copy->file.fd()) != 0 || !copy->digest.take(copy->hashed)) return false;
    std::vector<RecordGroup> groups;
    if (record_copies({&*copy, 1}, false, groups) != 1) return false;
    if (!take_final_name(*copy, false, none)) {
        record_only_named({&*copy, 1}, 0, groups);
        return false;
    }
    const int fd = copy->file.fd();
    if (!flush_names({&*copy, 1}) || !take_the_rest(in.get(), fd, copy->source) ||
        ::unlink(source.c_str()) != 0) {
        record_only_named({&*copy, 1}, 0, groups);
        return remove_named(folder, name);
    }
    // The move is made: what fails from here on cannot undo it, and the
    // file is whole in the backup. What writers added since the copy was
    // recorded is recorded too, where it can be.
    take_the_last_writes(in.get(), fd, copy->source);
    std::vector<RecordLine> before;
    if (static_cast<std::uint64_t>(copy->source.st_size) != copy->hashed.size && digest_file(fd, copy->hashed)) {
        change_record(folder.fd.get(), record, {name}, {record_line(*copy)}, before);
    }
    return succeeded();
}

enum class Moved { renamed, copied, failed };

Moved move_one(const std::string& source, const Folder& folder, const std::string& name, const std::string& record) {
    if (rename_without_replacing(AT_FDCWD, source.c_str(), folder.fd.get(), name.c_str())) return Moved::renamed;
    if (errno == EXDEV && move_across_file_systems(source, folder, name, record)) return Moved::copied;
    return Moved::failed;
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
// first moved back, or none.
std::optional<std::size_t> settle(MoveBatch& batch, std::span<const platform::Transfer> transfers) {
    std::vector<Folder> sources;
    sources.reserve(batch.sources.size());
    std::vector<const Folder*> folders(batch.targets.begin(), batch.targets.end());
    for (const std::string& path : batch.sources) {
        sources.push_back(open_folder(path));
        if (sources.back().fd.valid()) folders.push_back(&sources.back());
    }
    std::optional<std::size_t> first_undone;
    if (!flush_folders(folders)) {
        const ErrnoKeeper keep;
        for (auto i = batch.renamed.rbegin(); i != batch.renamed.rend(); ++i) {
            const auto [folder_path, name] = split_path(transfers[*i].target);
            const Folder* folder = batch.folders.open(folder_path);
            if (folder == nullptr ||
                !rename_without_replacing(folder->fd.get(), name.c_str(), AT_FDCWD, transfers[*i].source.c_str())) {
                break;
            }
            first_undone = *i;
        }
    }
    batch.folders.clear();
    batch.targets.clear();
    batch.sources.clear();
    batch.renamed.clear();
    return first_undone;
}

// Whether a link may be followed: it belongs to the runner or to the owner
// of the folder that holds it.
bool trusted(const struct stat& link, const std::string& folder) {
    struct stat holder {};
    if (link.st_uid == ::geteuid()) return true;
    if (::stat(folder.c_str(), &holder) != 0) return false;
    return link_followed(link.st_uid, ::geteuid(), holder.st_uid) || failed_with(EPERM);
}

// The file a path names, following trusted links (at most as many as the
// system follows in one lookup): where a link's target is missing, its path.
// False where a link is not to be trusted.
bool follow(std::string& path) {
    constexpr int most_links = 40;
    for (int i = 0;; ++i) {
        struct stat status {};
        std::string destination;
        if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) break;
        // A chain longer than the system follows in one lookup ends as its own would.
        if (i == most_links) return failed_with(ELOOP);
        std::string folder = split_path(path).first;
        if (!trusted(status, folder) || !read_link(AT_FDCWD, path.c_str(), status.st_size, destination)) {
            return false;
        }
        if (destination.starts_with('/') || folder == ".") {
            path = std::move(destination);
        } else {
            path = std::move((folder += '/') += destination);
        }
    }
    return succeeded();
}

// A backup from a file system that shows its own permission bits (exFAT
// shows 0777) tells nothing of the file's: the restored file keeps the mode
// and owner of the file it replaces, or a new one gets what the umask gives.
bool keep_own_permissions(const StagedCopy& copy, const std::string& path) {
    struct stat current {};
    if (::stat(path.c_str(), &current) == 0) {
        // Where the owner cannot be given, the file is the runner's, who
        // gets no set-user or set-group bits from it.
        mode_t mode = current.st_mode & 07777;
        if (::fchown(copy.file.fd(), current.st_uid, current.st_gid) != 0) {
            if (errno != EPERM && !call_unsupported(errno)) return false;
            mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
        }
        // A file system without modes (FAT) showed what it allows when the copy was made.
        return ::fchmod(copy.file.fd(), mode) == 0 || call_unsupported(errno);
    }
    if (errno != ENOENT) return false;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return ::fchmod(copy.file.fd(), 0666 & ~mask) == 0 || call_unsupported(errno);
}

// Puts a link back as a link: made under a temporary name beside the path
// with the backup's destination, owner and times, then renamed over it.
bool restore_link(const std::string& backup, const struct stat& status, const Folder& folder,
                  const std::string& name) {
    const auto [backup_folder_path, backup_name] = split_path(backup);
    const Folder backup_folder = open_folder(backup_folder_path);
    std::string destination;
    if (!backup_folder.fd.valid() ||
        !read_link(backup_folder.fd.get(), backup_name.c_str(), status.st_size, destination)) {
        return false;
    }
    for (int i = 0; i < temporary_name_tries; ++i) {
        const std::string temporary = temporary_name();
        if (::symlinkat(destination.c_str(), folder.fd.get(), temporary.c_str()) != 0) {
            if (errno == EEXIST) continue;
            return false;
        }
        if (keep_metadata({backup_folder.fd.get(), backup_name.c_str()}, {folder.fd.get(), temporary.c_str()},
                          status, false) &&
            ::renameat(folder.fd.get(), temporary.c_str(), folder.fd.get(), name.c_str()) == 0) {
            const Folder* const folders[] = {&folder};
            return flush_folders(folders);
        }
        const ErrnoKeeper keep;
        ::unlinkat(folder.fd.get(), temporary.c_str(), 0);
        return false;
    }
    return false;
}

// Makes each missing folder of a path, outermost first, each flushed with
// its parent.
bool make_folders(const std::string& path) {
    for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        if (!platform::create_folder(path.substr(0, end)) && errno != EEXIST) return false;
        if (end == std::string::npos) return true;
    }
}

}  // namespace

}  // namespace posix

namespace platform {

std::size_t copy_files(std::span<const Transfer> transfers, bool replace) {
    using namespace posix;
    const std::size_t room = descriptors_for_a_batch();
    expect_copies(transfers);
    MadeFiles made;
    std::size_t done = 0;
    while (done < transfers.size()) {
        // Each folder is opened once, before any work on the copies that go
        // into it. A folder is snapshot by itself, once the copies staged
        // before it are made.
        FolderTable folders;
        std::vector<StagedCopy> staged;
        bool stopped = false;
        FileDescriptor folder_source;
        const Folder* snapshot_folder = nullptr;
        while (!stopped && !folder_source.valid() && done + staged.size() < transfers.size() &&
               (staged.empty() || staged.size() + folders.size() < room)) {
            const Transfer& transfer = transfers[done + staged.size()];
            auto [folder_path, name] = split_path(transfer.target);
            const Folder* folder = folders.open(folder_path);
            FileDescriptor in;
            struct stat status {};
            std::optional<StagedCopy> copy;
            if (folder != nullptr && open_source(transfer.source, in, status)) {
                if (S_ISDIR(status.st_mode)) {
                    folder_source = std::move(in);
                    snapshot_folder = folder;
                    break;
                }
                copy = stage_copy(in.get(), status, *folder, std::move(name), false, transfer.record);
            }
            if (copy) {
                staged.push_back(std::move(*copy));
                entry_done();
            }
            stopped = !copy;
        }
        // The copies staged before a failure are made all the same.
        const int stop = errno;
        const std::size_t named = publish(staged, made, replace);
        done += named;
        if (named < staged.size()) return done;
        if (stopped) {
            errno = stop;
            return done;
        }
        if (folder_source.valid()) {
            const Transfer& transfer = transfers[done];
            if (!record_excludes(snapshot_folder->fd.get(), split_path(transfer.target).second, transfer.excludes) ||
                !snapshot_of(std::move(folder_source), *snapshot_folder, transfer, made, replace, false)) {
                return done;
            }
            ++done;
        }
    }
    succeeded();
    return done;
}

std::size_t move_files_without_replacing(std::span<const Transfer> transfers) {
    using namespace posix;
    const std::size_t room = descriptors_for_a_batch();
    // A rename moves no bytes: only those copied to another file system count.
    expect_progress(transfers.size(), std::nullopt);
    MoveBatch batch;
    // Once per folder, after the renames; sooner only where the folders
    // would hold too many descriptors.
    for (std::size_t moved = 0; moved < transfers.size(); ++moved) {
        const Transfer& transfer = transfers[moved];
        auto [folder_path, name] = split_path(transfer.target);
        const Folder* folder = batch.folders.open(folder_path);
        const Moved how = folder != nullptr ? move_one(transfer.source, *folder, name, transfer.record) : Moved::failed;
        if (how == Moved::failed) {
            // The moves made before a failure are flushed all the same.
            const int error = errno;
            const std::optional<std::size_t> undone = settle(batch, transfers);
            errno = error;
            return undone.value_or(moved);
        }
        entry_done();
        if (how == Moved::renamed) batch.renamed.push_back(moved);
        batch.targets.insert(folder);
        batch.sources.insert(split_path(transfer.source).first);
        if (batch.folders.size() >= room) {
            if (const std::optional<std::size_t> undone = settle(batch, transfers)) return *undone;
        }
    }
    if (const std::optional<std::size_t> undone = settle(batch, transfers)) return *undone;
    succeeded();
    return transfers.size();
}

bool links_trusted(const std::string& path) {
    std::string followed = path;
    return posix::follow(followed);
}

bool restore_backup(const std::string& backup, const std::string& path, std::span<const std::string> excludes,
                    std::span<const RecordLine> recorded) {
    using namespace posix;
    struct stat status {};
    if (::lstat(backup.c_str(), &status) != 0) return false;
    const bool link = S_ISLNK(status.st_mode);
    // What a restore has to do is not counted beforehand.
    expect_progress(std::nullopt, std::nullopt);
    // A link's backup takes the link's own place; a file's goes where a link
    // at its name points.
    std::string target = path;
    if (!link && !follow(target)) return false;
    const auto [folder_path, name] = split_path(target);
    if (folder_path != "." && !make_folders(folder_path)) return false;
    const Folder folder = open_folder(folder_path);
    if (!folder.fd.valid()) return false;
    if (link) return restore_link(backup, status, folder, name) && succeeded();
    FileDescriptor in(open_untouched(AT_FDCWD, backup.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!in.valid() || ::fstat(in.get(), &status) != 0) return false;
    MadeFiles made;
    if (S_ISDIR(status.st_mode)) {
        const Transfer restored{backup, target, {}, {excludes.begin(), excludes.end()}};
        const std::vector<RecordLine> inside = lines_inside({recorded.begin(), recorded.end()}, split_path(backup).second);
        return snapshot_of(std::move(in), folder, restored, made, true, true, inside) && succeeded();
    }
    std::optional<StagedCopy> copy = stage_copy(in.get(), status, folder, name, false, {});
    if (copy) entry_done();
    if (!copy || (!platform::keeps_permissions(split_path(backup).first) && !keep_own_permissions(*copy, target))) {
        return false;
    }
    // The bytes put back must be those recorded when the backup was made:
    // checked once they are on the disk, before they take the file's name.
    const std::string backup_name = split_path(backup).second;
    for (const RecordLine& line : recorded) {
        if (line.path == backup_name) copy->expected = Hashed{line.digest, line.size};
    }
    return publish({&*copy, 1}, made, true) == 1 && succeeded();
}

}  // namespace platform
