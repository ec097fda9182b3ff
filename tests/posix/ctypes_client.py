"""Loads libtesrak.so.1 with ctypes, checks a table row and the current date
against the clock, and frees each result with the C library's free."""
import ctypes
import sys
import time


class SystemTime(ctypes.Structure):
    _fields_ = [(name, ctypes.c_uint16) for name in (
        "wYear", "wMonth", "wDayOfWeek", "wDay", "wHour", "wMinute", "wSecond", "wMilliseconds")]


def main(path):
    library = ctypes.CDLL(path)
    libc = ctypes.CDLL(None)
    libc.free.argtypes = [ctypes.c_void_p]
    library.mivo_format_systime_x16.argtypes = [ctypes.POINTER(SystemTime)]
    for function in (library.mivo_format_systime_x16, library.mivo_current_date):
        function.restype = ctypes.c_void_p

    def take(result):
        assert result, "no result"
        text = ctypes.string_at(result).decode("ascii")
        libc.free(result)
        return text

    rows = [((65535,) * 8, "6553565535655356553565535655356553"),
            ((2011, 3, 5, 4, 13, 5, 2, 599), "2011030413050259"),
            ((10000, 1, 0, 2, 3, 4, 5, 6), "10000010203040500")]
    for fields, expected in rows:
        got = take(library.mivo_format_systime_x16(ctypes.byref(SystemTime(*fields))))
        assert got == expected, (fields, got)

    before = time.strftime("%Y%m%d%H%M%S")
    current = take(library.mivo_current_date())
    after = time.strftime("%Y%m%d%H%M%S")
    assert len(current) == 16 and current.isdigit(), current
    assert before <= current[:14] <= after, (before, current, after)
    print("ctypes client: ok")


if __name__ == "__main__":
    main(sys.argv[1])
