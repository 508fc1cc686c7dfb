# 64-bit Windows: tovrel.wdx64
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(tovrel_mingw_triple x86_64-w64-mingw32)
set(tovrel_wine /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
