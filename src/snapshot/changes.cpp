#include "snapshot/changes.h"

bool kind_changed(const EntryFacts& was, const EntryFacts& is) {
    return was.type != is.type || (was.type == EntryType::device && was.device_number != is.device_number);
}

char change_mark(const EntryFacts& was, const EntryFacts& is, const EntryReadings& read, bool permissions) {
    if (kind_changed(was, is) || (was.type == EntryType::file && !read.same_bytes)) return 'M';
    const bool status_differs =
        permissions && (was.permissions != is.permissions || was.owner != is.owner || was.group != is.group);
    const bool content_kept =
        (was.type != EntryType::link || read.same_destination) && (!permissions || read.same_attributes);
    return status_differs || !content_kept ? 'm' : 0;
}
