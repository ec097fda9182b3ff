// The marks of --diff, from the facts of an entry in a backup and now.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "snapshot/changes.h"

namespace {

struct Row {
    const char* name;
    EntryType type;
    std::function<void(EntryFacts& is, EntryReadings& read)> change;
    bool permissions;
    char mark;
};

TEST(ChangeMarks, FromTwoEntriesFacts) {
    using T = EntryType;
    const std::vector<Row> rows{
        {"a file unchanged", T::file, [](EntryFacts&, EntryReadings&) {}, true, 0},
        {"other bytes", T::file, [](EntryFacts&, EntryReadings& r) { r.same_bytes = false; }, true, 'M'},
        {"other bits", T::file, [](EntryFacts& e, EntryReadings&) { e.permissions = 0600; }, true, 'm'},
        {"other bits, on a disk that keeps none", T::file, [](EntryFacts& e, EntryReadings&) { e.permissions = 0600; },
         false, 0},
        {"other owner", T::file, [](EntryFacts& e, EntryReadings&) { e.owner = 7; }, true, 'm'},
        {"other group", T::folder, [](EntryFacts& e, EntryReadings&) { e.group = 7; }, true, 'm'},
        {"other attributes", T::folder, [](EntryFacts&, EntryReadings& r) { r.same_attributes = false; }, true, 'm'},
        {"other attributes, not compared", T::file, [](EntryFacts&, EntryReadings& r) { r.same_attributes = false; },
         false, 0},
        {"bytes and bits both: the contents tell", T::file,
         [](EntryFacts& e, EntryReadings& r) {
             e.permissions = 0600;
             r.same_bytes = false;
         },
         true, 'M'},
        {"a file now a folder", T::file, [](EntryFacts& e, EntryReadings&) { e.type = T::folder; }, true, 'M'},
        {"a file now a link", T::file, [](EntryFacts& e, EntryReadings&) { e.type = T::link; }, false, 'M'},
        {"a link elsewhere", T::link, [](EntryFacts&, EntryReadings& r) { r.same_destination = false; }, false, 'm'},
        {"a link's owner", T::link, [](EntryFacts& e, EntryReadings&) { e.owner = 7; }, true, 'm'},
        {"another device number", T::device, [](EntryFacts& e, EntryReadings&) { e.device_number = 9; }, true, 'M'},
        {"a FIFO's bits", T::other, [](EntryFacts& e, EntryReadings&) { e.permissions = 0600; }, true, 'm'},
    };
    for (const Row& row : rows) {
        const EntryFacts was{row.type, 0644, 1000, 1000, row.type == EntryType::device ? 5U : 0U};
        EntryFacts is = was;
        EntryReadings read;
        row.change(is, read);
        EXPECT_EQ(change_mark(was, is, read, row.permissions), row.mark) << row.name;
        EXPECT_EQ(kind_changed(was, is), was.type != is.type || was.device_number != is.device_number) << row.name;
    }
}

}  // namespace
