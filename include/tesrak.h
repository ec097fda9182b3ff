/* Tesrak's local-time stamp for other programs.
 *
 * The stamp is the local date and time as one run of decimal digits: year (at
 * least 4 digits), month, day, hour, minute, second and hundredths of a second
 * (at least 2 digits each), 16 characters for every time up to the year 9999.
 *
 * On POSIX the result is a NUL-terminated text allocated with malloc, to be
 * released with free; it is a null pointer when memory cannot be obtained.
 * On Windows the functions are exported by Tesrak.exe and return a BSTR whose
 * length prefix counts bytes (one byte per digit), released with SysFreeString.
 */
#ifndef TESRAK_H
#define TESRAK_H

#include <stdint.h>

#ifdef _WIN32
#include <wtypes.h>
typedef BSTR mivo_text;
#define MIVO_CALL __stdcall
#else
typedef char *mivo_text;
#define MIVO_CALL
#endif

#if defined(TESRAK_BUILDING) && !defined(_WIN32)
#define MIVO_EXPORT __attribute__((visibility("default")))
#else
#define MIVO_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The fields and their order are those of the Win32 SYSTEMTIME record. */
struct mivo_systemtime {
    uint16_t wYear;
    uint16_t wMonth;
    uint16_t wDayOfWeek; /* never read */
    uint16_t wDay;
    uint16_t wHour;
    uint16_t wMinute;
    uint16_t wSecond;
    uint16_t wMilliseconds;
};

/* The stamp of the given record; no field is checked against the calendar. */
MIVO_EXPORT mivo_text MIVO_CALL mivo_format_systime_x16(const struct mivo_systemtime *time);

/* The stamp of the current local time. */
MIVO_EXPORT mivo_text MIVO_CALL mivo_current_date(void);

#ifdef __cplusplus
}
#endif

#endif
