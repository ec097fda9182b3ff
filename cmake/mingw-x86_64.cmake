# A 64-bit Windows build of the same sources, run under wine64. It stands in
# for the 32-bit tests on machines whose kernel cannot run 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(mingw_triple x86_64-w64-mingw32)
set(wine_loader /usr/lib/wine/wine64)
set(TESRAK_WINESERVER /usr/lib/wine/wineserver64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
