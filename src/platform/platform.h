// The one interface between Tesrak and the operating system. Everything else
// in src/ is text work that behaves the same on every system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/conventions.h"
#include "core/outcome.h"
#include "snapshot/room.h"
#include "snapshot/record.h"
#include "tesrak.h"

namespace platform {

using ErrorCode = ::ErrorCode;
using ErrorMode = std::uint32_t;

// Takes standard output and stops console control events (Ctrl+C, Ctrl+Break,
// closing the console) from ending the run.
void start_up(int argc, char** argv);

#ifdef _WIN32
// The command line as one text, the program's name included.
std::string command_line();
#else
// The arguments after the program's name.
std::vector<std::string_view> arguments();
#endif

// One write of the bytes to standard output.
Error write_stdout(std::string_view bytes);
// The same to standard error (POSIX only: diagnostics go there).
Error write_stderr(std::string_view bytes);
// The system's text for an error ("File name too long"; POSIX only).
std::string error_text(ErrorCode error);
// Whether an error says that nothing stands at a path.
bool nothing_there(ErrorCode error);

// The error-mode switch around a guarded call (Windows: no message boxes).
ErrorMode enter_quiet_error_mode();
void restore_error_mode(ErrorMode kept);
// The failures that leave the process in no state to go on.
bool is_fatal_error(ErrorCode error);

[[noreturn]] void exit_process(int code);

// Each operation below that may fail returns its error (with its result),
// taken where it failed. On Windows that is the thread's last-error value
// after the call, which decides on its own, whatever the result.
Error create_folder(const std::string& path);
// Whether anything stands at a path (a link not followed); false with the
// reason where not.
Outcome<bool> path_exists(const std::string& path);
struct Transfer {
    std::string source;
    std::string target;
    // POSIX folder snapshots: an earlier snapshot of the same folder whose
    // unchanged files the new one shares (hard links); none where nothing
    // is shared.
    std::string shares_with = {};
    // POSIX folder snapshots: the patterns of entries left out (see
    // tree_changes), recorded with the snapshot.
    std::vector<std::string> excludes = {};
    // POSIX: the record that the digests of the backup's files go into (the
    // stamp its name holds); none where empty. The earlier snapshot's record,
    // which tells which of its files were read from which source.
    std::string record = {};
    std::string shares_record = {};
};
// What a batch of transfers or removals did: how many were made (all, or
// those before the one that failed) and the error that stopped it, where
// one did; on POSIX, the entry of a folder snapshot it failed on (its path
// from the top of the tree), where it failed on one.
struct Batch {
    std::size_t made = 0;
    ErrorCode error = 0;
    std::string failed_entry = {};
    // POSIX moves to another file system: the first made whose source took
    // writes after it was copied that its backup could not take (a log
    // being written), and why. The backup holds the source as it was when
    // the source was removed.
    std::optional<std::pair<std::size_t, ErrorCode>> writes_lost = {};
};
// Copies each source to its target, in order, atomically and durably; where
// asked, an earlier file of the target's name is replaced (but never one made
// by the same run), else the copy fails as a name taken (see name_taken).
// On POSIX a folder is copied as a snapshot of its whole tree, and the
// folders of the targets inside the backup folder are made as needed.
Batch copy_files(std::span<const Transfer> transfers, bool replace);
// Moves each source to its target, in order, never replacing, durably.
Batch move_files_without_replacing(std::span<const Transfer> transfers);

// Whether a failure was a name that another file already has.
bool name_taken(ErrorCode error);

// What stands at a path: a folder, a file (a symbolic link is one, where it
// is not followed) or something else, whose it is and when it last changed.
enum class EntryKind : std::uint8_t { file, folder, other };
struct EntryStatus {
    EntryKind kind;
    std::uint32_t owner;
    std::int64_t changed;            // hundredths of a second since 1970 (UTC)
    mivo_systemtime changed_locally;  // the same, as the local date and time
    bool link = false;                // a symbolic link, not followed
    std::uint64_t size = 0;           // a regular file's
};

// POSIX only, used where the run is (see posix_conventions):
// the user the process runs as.
std::uint32_t user_id();
// The instants (hundredths of a second since 1970, UTC) at which the clock
// showed or shows a local time: two in the hour that repeats when the
// clocks go back; in the hour they skip, the one the system's calendar
// normalises it to.
std::vector<std::int64_t> instants_of(const mivo_systemtime& local);
// Takes an exclusive lock on a folder for the rest of the run (flock: the
// system releases it when the process ends, so it is never stale), waiting
// for it unless told not to; in_use tells a lock another process holds.
Error lock_folder(const std::string& path, bool wait);
// Whether a lock was not taken because another process holds it.
bool in_use(ErrorCode error);
// From now on, where standard error is a terminal, a run that has lasted
// more than a second shows its progress there on one line (entries and
// bytes done, of the totals where known, and the rate), redrawn at most ten
// times a second and erased before any other output and when the process
// ends. Where standard error is no terminal, nothing changes.
void show_progress();
// Waits a moment: long enough for the clock's hundredths to move on soon.
void pause_briefly();
// Whether anything stands at any of the paths (a link not followed); an
// entry that cannot be looked at counts as none.
bool any_path_exists(std::span<const std::string> paths);
// For each path, in order, why nothing can be found at it (a link not
// followed), or none where something stands there: as path_exists tells
// of each, with one read of a folder of which many names are asked.
std::vector<ErrorCode> paths_standing(std::span<const std::string> paths);
// Whether every symbolic link met at a path's last part belongs to the
// runner or to the owner of the folder that holds it, the rule the kernel
// applies in sticky folders: nobody else's link sends a restore elsewhere.
// An error (EPERM) where one does not, or where that cannot be told.
Error links_trusted(const std::string& path);
// What stands at a path; none where nothing does.
Outcome<std::optional<EntryStatus>> entry_status(const std::string& path, bool follow_link);
// An entry of a folder, and what stands there (a link not followed).
struct FolderEntry {
    std::string name;
    EntryKind kind;
    bool link;
    // None where the folder vouches for its entries and none was asked for.
    std::optional<EntryStatus> status = std::nullopt;
};
// The entries of a folder whose names are wanted; none where the folder is
// missing, an error where it or a wanted entry cannot be read (one removed
// meanwhile is left out). Each is looked at relative to the folder, unless
// its kind is known and the folder vouches for its entries (it is the
// runner's or root's, and no other user may add names: no group or other
// write bit, no ACL), and statuses were not asked for.
Outcome<std::vector<FolderEntry>> folder_entries(const std::string& path,
                                                 const std::function<bool(std::string_view)>& wanted, bool statuses);
// Whether two files (links followed) hold the same bytes and, where asked,
// have the same permission bits and owner.
Outcome<bool> same_file(const std::string& a, const std::string& b, bool permissions);
// Whether the file system of a folder keeps the permission bits that a file
// is given (exFAT, FAT and NTFS without a mapping show their own).
Outcome<bool> keeps_permissions(const std::string& folder);
// Puts a backup, or a version inside a snapshot, back at a path, with
// everything a copy keeps, atomically and durably: a file as a new file in
// the folder, flushed, renamed over what stands there; a symbolic link as a
// link with the same destination, owner and times, the same way; a folder
// as a snapshot built beside it and exchanged with it in one step; then the
// folder is flushed. The version is reached from its backup folder by its
// path there ("proj.20261208.13000000/src/main.c"), no link on the way or
// at its end followed. For a file, a trusted link at the target is followed
// (what it points to is restored; see links_trusted). Where the backup's
// file system does not keep permissions, the file keeps its own mode and
// owner (a new one gets what the umask gives): a restore never grants more
// than the file had. A folder's entries that the patterns (the snapshot's
// own) or a CACHEDIR.TAG leave out stay in the restored folder. Missing
// folders are made. Where the backup has a record (its lines given, their
// paths from the backup folder), each file restored must hold the bytes
// recorded, else the restore fails (damaged_backup) and changes nothing.
// Not replacing, the version becomes a new file, link or folder at the
// target, which fails (name_taken) where anything stands there, never
// followed.
Error restore_version(const std::string& folder, const std::string& path, const std::string& target, bool replace,
                      std::span<const std::string> excludes, std::span<const RecordLine> recorded);
// The error of a backup whose bytes differ from its record.
inline constexpr ErrorCode damaged_backup = 0x10001;
// The error of a folder to back up that holds the backup folder: its
// snapshot would be copied into itself.
inline constexpr ErrorCode holds_backup_folder = 0x10002;
// The errors of a name that a folder's listing does not hold, or holds as
// something other than a regular file.
inline constexpr ErrorCode nothing_at_all = 0x10003;
inline constexpr ErrorCode not_a_file = 0x10004;
// Whether a source is a folder that holds the backup folder (the folder
// named, or the current one where it is not made yet), links followed.
bool holds_folder(const std::string& source, const std::string& backup_folder);
// The lines of a record in a backup folder: none where it has none; their
// sources only where wanted.
Outcome<std::vector<RecordLine>> recorded_lines(const std::string& folder, const std::string& record,
                                                bool with_sources = true);
// The names of the records in a backup folder.
Outcome<std::vector<std::string>> record_names(const std::string& folder);
// A regular file read back to check it, a link not followed: its identity,
// size and digest; its access time is left as it was where the runner may.
struct CheckedFile {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    Digest digest = {};
};
// The entries of a folder (a link at its name not followed), each with its
// identity, as one read of the folder gives them: a check of many files
// looks each up without a call of its own. Size is not told (0).
struct FolderIdentities {
    std::uint64_t device = 0;
    std::vector<std::pair<std::string, std::uint64_t>> regular_files;  // name, inode; in name order
    std::vector<std::string> others;                                     // in name order
};
Outcome<FolderIdentities> folder_identities(const std::string& path);
// Folders listed ahead, on a thread of their own, in the order a caller will
// want them: a check of many snapshots that share their files spends most of
// its time listing folders, and the listing then goes on while files are
// read. next_folder runs on that thread and gives the folders in order, none
// after the last; what it reads must not change while this lives.
class FoldersAhead {
public:
    explicit FoldersAhead(std::function<std::optional<std::string>()> next_folder);
    ~FoldersAhead();
    FoldersAhead(const FoldersAhead&) = delete;
    FoldersAhead& operator=(const FoldersAhead&) = delete;
    // The folder's listing where it is the next one listed; none where it is
    // not, or no thread could be started: the caller then lists it itself.
    std::optional<Outcome<FolderIdentities>> take(std::string_view folder);

    struct Shared;

private:
    std::unique_ptr<Shared> shared_;
};
// Reads it whole; the bytes count on the progress line.
Outcome<CheckedFile> read_file_digest(const std::string& path);
// A change from a backup's tree to the tree as it is.
struct TreeChange {
    char mark;         // '+' only now, '-' only in the backup, 'M' kind or contents,
                       // 'm' permission bits, owner, group, link destination or attributes
    std::string path;  // relative to the top, "." for the top itself
    EntryKind kind;    // as it is now ('-': as it was)
    bool link;
    std::uint64_t size;  // of a regular file, else 0
};
// The changes from a backup's tree to the tree at a path, in path order
// (with first_only, at most one): permission bits, owners and attributes
// only where asked, entries the patterns exclude and cache folders (see
// left_out) not compared, folders of other file systems inside the tree not
// entered, an entry only on one side one change.
Outcome<std::vector<TreeChange>> tree_changes(const std::string& backup, const std::string& current, bool permissions,
                                              std::span<const std::string> excludes, bool first_only);
// The exclude patterns a folder snapshot was made with: none where it was
// made with none.
Outcome<std::vector<std::string>> recorded_excludes(const std::string& snapshot);
// Runs a program found on the PATH with the arguments (its name first) and
// this process's streams; its exit status, or an error where it could not be
// started or did not end by itself.
Outcome<int> run_program(std::span<const std::string> arguments);
// Removes each backup, a folder as a whole tree (renamed to a temporary name
// first, no link inside it followed), in order, then flushes their folders.
// Each backup's lines leave its record (named alongside) before it goes.
// Where all were removed but their folders could not be flushed, the batch
// made them all and its error tells why.
Batch remove_backups(std::span<const std::string> paths, std::span<const std::string> records);

// A path's versions (POSIX): each is reached from its backup folder (opened
// as folder_entries opens it) by a path in it, "proj.20261208.13000000/src/
// main.c", without following any link on the way or at its end, so that
// nothing a snapshot holds sends a read or a restore elsewhere.
struct VersionStatus {
    EntryKind kind;  // a link is a file, as entry_status tells it
    bool link;
    std::uint64_t device;
    std::uint64_t inode;
    std::uint32_t permissions;
    std::uint32_t owner;
    std::uint32_t group;
    std::uint64_t size;  // a regular file's, a link's destination's length
};
// What stands at the path inside each of the named entries of a backup
// folder (the entry itself where the path is empty): none where nothing
// does, or where a link or no folder stands on the way; none for each
// where the folder is missing.
Outcome<std::vector<std::optional<VersionStatus>>> entries_inside(const std::string& folder,
                                                                  std::span<const std::string> names,
                                                                  const std::string& inside);
// Whether two versions hold the same: files the same bytes, links the same
// destination, folders the same tree (see tree_changes).
Outcome<bool> same_contents(const std::string& folder, const std::string& path, const std::string& other_folder,
                            const std::string& other_path, bool permissions);
// A version held open for the rest of the run: a path that names it
// whatever becomes of the names on the way (/dev/fd/N, which a program run
// meanwhile sees too), and the header diff -u would give it (its path as
// shown and its modification time).
struct PinnedVersion {
    std::string path;
    std::string label;
};
Outcome<PinnedVersion> pin_version(const std::string& folder, const std::string& path, const std::string& shown);
// Writes a regular file's version to standard output as it is read; where
// a record's line is given, its bytes must be the recorded ones, else
// damaged_backup once they are out.
Error write_version(const std::string& folder, const std::string& path, const std::optional<RecordLine>& recorded);
// What a version takes on the disk: each file, folder and link in it once,
// with its names there (a folder's tree walked without following links,
// and only on its own file system).
Outcome<std::vector<RoomFacts>> version_room(const std::string& folder, const std::string& path);

// The local date and time from the clock.
mivo_systemtime local_time();
// A result text for a caller outside the program, owned by that caller.
mivo_text new_result_text(std::string_view text);
// The text of such a result, which is released.
std::string release_result_text(mivo_text text);
// Makes sure the module's own imports are bound before an exported function
// uses them (needed only where another program can load the executable);
// false when they could not be bound.
bool bind_own_imports();

}  // namespace platform
