# The shipped 32-bit Windows build; its tests run under Wine with a prefix of
# the build's own.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(mingw_triple i686-w64-mingw32)
set(wine_loader wine)
set(TESRAK_WINESERVER wineserver)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
