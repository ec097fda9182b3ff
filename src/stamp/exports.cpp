// The two functions that other programs call for the stamp.
#include <array>

#include "platform/platform.h"
#include "stamp/stamp.h"

namespace {

mivo_text stamp_text(const mivo_systemtime& time) {
    std::array<char, max_stamp_length> stamp;
    const std::size_t length = format_stamp(time, stamp);
    return platform::new_result_text({stamp.data(), length});
}

}  // namespace

extern "C" {

mivo_text MIVO_CALL mivo_format_systime_x16(const mivo_systemtime* time) {
    return platform::bind_own_imports() ? stamp_text(*time) : nullptr;
}

mivo_text MIVO_CALL mivo_current_date(void) {
    return platform::bind_own_imports() ? stamp_text(platform::local_time()) : nullptr;
}

}
