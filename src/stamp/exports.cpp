// The two functions that other programs call for the stamp.
#include <array>

#include "platform/platform.h"
#include "stamp/stamp.h"

extern "C" {

mivo_text MIVO_CALL mivo_format_systime_x16(const mivo_systemtime* time) {
    if (!platform::bind_own_imports()) return nullptr;
    std::array<char, max_stamp_length> stamp;
    const std::size_t length = format_stamp(*time, stamp);
    return platform::new_result_text({stamp.data(), length});
}

mivo_text MIVO_CALL mivo_current_date(void) {
    if (!platform::bind_own_imports()) return nullptr;
    const mivo_systemtime now = platform::local_time();
    return mivo_format_systime_x16(&now);
}

}
