#include "history/policy.h"

#include <algorithm>

bool owner_counts(UserId owner, UserId runner, std::optional<UserId> file_owner) {
    constexpr UserId root = 0;
    return owner == runner || owner == root || owner == file_owner;
}

mivo_systemtime stamp_fields(StampValue stamp) {
    const auto field = [&](int position) {
        StampValue scale = 1;
        for (int i = 0; i < position; ++i) scale *= 100;
        return static_cast<std::uint16_t>(stamp / scale % 100);
    };
    return mivo_systemtime{static_cast<std::uint16_t>(stamp / 1'000'000'000'000 % 10'000),
                           field(5), 0, field(4), field(3), field(2), field(1),
                           static_cast<std::uint16_t>(field(0) * 10)};
}

bool stamp_places(const BackupStamp& stamp, std::span<const Instant> stamp_instants) {
    return stamp.both_parts && stamp_instants.size() == 1;
}

Instant made_at(const BackupStamp& stamp, std::span<const Instant> stamp_instants, Instant changed) {
    if (!stamp.both_parts || stamp_instants.empty()) return changed;
    const auto [earlier, later] = std::minmax_element(stamp_instants.begin(), stamp_instants.end());
    // A backup changes only after it is made: a change before the later
    // instant shows it was made at the earlier one.
    return changed >= *later ? *later : *earlier;
}

Instant began_at(const BackupStamp& stamp, std::span<const Instant> stamp_instants) {
    if (!stamp.both_parts || stamp_instants.empty()) return 0;
    return *std::min_element(stamp_instants.begin(), stamp_instants.end());
}

void sort_newest_first(std::vector<BackupEntry>& backups) {
    std::sort(backups.begin(), backups.end(), [](const BackupEntry& a, const BackupEntry& b) {
        return a.made != b.made ? a.made > b.made : a.path > b.path;
    });
}

std::optional<std::size_t> newest_made_by(std::span<const BackupEntry> newest_first, Instant by) {
    for (std::size_t i = 0; i < newest_first.size(); ++i) {
        if (newest_first[i].made <= by) return i;
    }
    return std::nullopt;
}
