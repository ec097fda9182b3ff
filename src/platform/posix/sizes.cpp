// What a version takes on the disk, read as du reads it: each entry's
// status, without following links, on the version's own file system.
#include <map>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace posix {

namespace {

struct RoomWalk {
    dev_t device;
    std::vector<RoomFacts>& facts;
    // Files with several names, by identity: where their facts are.
    std::map<std::pair<dev_t, ino_t>, std::size_t> linked = {};
};

// A folder's own entries are its own: its other names are theirs.
void note(RoomWalk& walk, const struct stat& status) {
    const auto bytes = static_cast<std::uint64_t>(status.st_blocks) * 512;
    RoomFacts fact{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino), bytes, 1, 1};
    if (S_ISDIR(status.st_mode) || status.st_nlink <= 1) {
        walk.facts.push_back(fact);
        return;
    }
    const auto [known, added] = walk.linked.emplace(std::pair{status.st_dev, status.st_ino}, walk.facts.size());
    if (!added) {
        ++walk.facts[known->second].names;
        return;
    }
    fact.links = status.st_nlink;
    walk.facts.push_back(fact);
}

Error walk_folder(RoomWalk& walk, int folder) {
    const Outcome<FolderStream> stream = open_stream(folder, ".");
    if (stream.failed()) return Error{stream.error};
    const int at = ::dirfd(stream.value.get());
    for (;;) {
        const Outcome<const dirent*> next = next_entry(stream.value.get());
        if (next.failed()) return Error{next.error};
        const dirent* entry = next.value;
        if (entry == nullptr) return {};
        struct stat status {};
        if (::fstatat(at, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) return call_error();
        note(walk, status);
        if (S_ISDIR(status.st_mode) && status.st_dev == walk.device) {
            const FileDescriptor inside(::openat(at, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!inside.valid()) return call_error();
            if (const Error failed = walk_folder(walk, inside.get())) return failed;
        }
    }
}

}  // namespace

}  // namespace posix

namespace platform {

Outcome<std::vector<RoomFacts>> version_room(const std::string& folder, const std::string& path) {
    using namespace posix;
    std::vector<RoomFacts> facts;
    FolderTable folders;
    const Outcome<const Folder*> top = folders.find(folder);
    if (top.failed()) return Error{top.error};
    const FileDescriptor entry = open_beneath(top.value->fd.get(), path, O_PATH | O_CLOEXEC);
    struct stat status {};
    if (!entry.valid() || ::fstat(entry.get(), &status) != 0) return call_error();
    RoomWalk walk{status.st_dev, facts};
    note(walk, status);
    if (!S_ISDIR(status.st_mode)) return facts;
    const FileDescriptor opened = open_beneath(top.value->fd.get(), path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!opened.valid()) return call_error();
    if (const Error failed = walk_folder(walk, opened.get())) return failed;
    return facts;
}

}  // namespace platform
