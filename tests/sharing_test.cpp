// Which files a snapshot shares with the one before it, at the edges of
// each fact the decision rests on.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "snapshot/links.h"
#include "snapshot/sharing.h"

namespace {

constexpr Nanoseconds second = 1'000'000'000;
constexpr Nanoseconds changed = 1'796'746'037 * second + 755'011'425;

// A source unchanged since the earlier snapshot read it, 50 ms later.
SharingFacts certain() {
    const FileFacts file{65024, 77, 5, changed - second, changed, 0100644, 1000, 1000};
    FileFacts earlier = file;
    earlier.inode = 78;
    return {file, earlier, SourceRead{65024, 77, changed, changed + 50'000'000}, true, true};
}

struct Row {
    const char* name;
    std::function<void(SharingFacts&)> change;
    Sharing expected;
};

TEST(Sharing, DecisionAtItsEdges) {
    const std::vector<Row> rows{
        {"read this very file, change time still", [](SharingFacts&) {}, Sharing::link},
        {"change time moved by a nanosecond", [](SharingFacts& f) { f.source.changed += 1; }, Sharing::compare_bytes},
        {"another file in its place (a folder swapped)", [](SharingFacts& f) { f.source.inode = 99; },
         Sharing::compare_bytes},
        {"another device", [](SharingFacts& f) { f.source.device = 1; }, Sharing::compare_bytes},
        {"no record of the earlier snapshot", [](SharingFacts& f) { f.recorded.reset(); }, Sharing::compare_bytes},
        {"FUSE or FAT: change times not the kernel's", [](SharingFacts& f) { f.exact_change_times = false; },
         Sharing::compare_bytes},
        {"earlier file changed since its snapshot", [](SharingFacts& f) { f.earlier_as_made = false; },
         Sharing::compare_bytes},
        {"change time of whole seconds", [](SharingFacts& f) {
             f.source.changed = changed / second * second;
             f.recorded->changed = f.source.changed;
         }, Sharing::compare_bytes},
        // A change less than a tick before the read may have come after it.
        {"changed exactly the lag before the read",
         [](SharingFacts& f) { f.recorded->read = changed + change_clock_lag; }, Sharing::compare_bytes},
        {"changed a nanosecond more than the lag before",
         [](SharingFacts& f) { f.recorded->read = changed + change_clock_lag + 1; }, Sharing::link},
        {"changed after the read", [](SharingFacts& f) { f.recorded->read = changed - 1; }, Sharing::compare_bytes},
        {"other size", [](SharingFacts& f) { f.earlier.size = 6; }, Sharing::copy},
        {"other modification time", [](SharingFacts& f) { f.earlier.modified += 1; }, Sharing::copy},
        {"other permission bits", [](SharingFacts& f) { f.earlier.mode = 0100600; }, Sharing::copy},
        {"other owner", [](SharingFacts& f) { f.earlier.owner = 0; }, Sharing::copy},
        {"other group", [](SharingFacts& f) { f.earlier.group = 0; }, Sharing::copy},
        {"the source itself (a tree put back by links)", [](SharingFacts& f) { f.earlier.inode = 77; },
         Sharing::copy},
    };
    for (const Row& row : rows) {
        SharingFacts facts = certain();
        row.change(facts);
        EXPECT_EQ(sharing_for(facts), row.expected) << row.name;
    }
}

TEST(Sharing, BytesDecideWithTheRecord) {
    Digest digest{};
    digest[3] = 9;
    Digest other = digest;
    other[4] = 1;
    EXPECT_TRUE(share_compared(true, digest, digest));
    EXPECT_TRUE(share_compared(true, digest, std::nullopt));
    // The earlier file holds the same bytes, but not those its record holds:
    // it was changed inside the backup, and its record would then be wrong.
    EXPECT_FALSE(share_compared(true, digest, other));
    EXPECT_FALSE(share_compared(false, digest, digest));
}

TEST(Links, WhoseLinksARestoreFollows) {
    struct Row {
        std::uint32_t link_owner, runner, folder_owner;
        bool followed;
        const char* reason;
    };
    const std::vector<Row> rows{
        {1000, 1000, 0, true, "the runner's own, in a shared folder"},
        {1001, 1000, 1001, true, "the folder owner's, in that owner's folder"},
        {1001, 1000, 0, false, "another user's, planted in a shared folder"},
        {1001, 0, 0, false, "another user's, restored by root"},
        {0, 0, 1001, true, "root's own"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(link_followed(row.link_owner, row.runner, row.folder_owner), row.followed) << row.reason;
    }
}

}  // namespace
