# 32-bit Windows: the primary target, tovrel.wdx
set(CMAKE_SYSTEM_PROCESSOR i686)
set(tovrel_mingw_triple i686-w64-mingw32)
set(tovrel_wine /usr/lib/wine/wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
