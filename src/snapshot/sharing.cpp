#include "snapshot/sharing.h"

namespace {

bool looks_the_same(const FileFacts& source, const FileFacts& earlier) {
    return source.size == earlier.size && source.modified == earlier.modified && source.mode == earlier.mode &&
           source.owner == earlier.owner && source.group == earlier.group;
}

// A change time of whole seconds may come from a file system that keeps no
// more (ext4 with small inodes); a real one is that round once in a billion.
bool read_unchanged(const SharingFacts& facts) {
    const FileFacts& source = facts.source;
    constexpr Nanoseconds per_second = 1'000'000'000;
    return facts.recorded && facts.exact_change_times && facts.earlier_as_made &&
           facts.recorded->device == source.device && facts.recorded->inode == source.inode &&
           facts.recorded->changed == source.changed && source.changed % per_second != 0 &&
           source.changed + change_clock_lag < facts.recorded->read;
}

}  // namespace

Sharing sharing_for(const SharingFacts& facts) {
    const bool itself = facts.source.device == facts.earlier.device && facts.source.inode == facts.earlier.inode;
    if (itself || !looks_the_same(facts.source, facts.earlier)) return Sharing::copy;
    return read_unchanged(facts) ? Sharing::link : Sharing::compare_bytes;
}

bool share_compared(bool same_bytes, const Digest& source_digest, const std::optional<Digest>& recorded) {
    return same_bytes && (!recorded || *recorded == source_digest);
}
