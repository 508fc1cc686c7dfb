# Shared by the mingw-w64 toolchains; the including file sets tovrel_mingw_triple and tovrel_wine.
set(CMAKE_SYSTEM_NAME Windows)

# the posix thread model: its libstdc++ has std::shared_mutex and std::thread
set(CMAKE_C_COMPILER ${tovrel_mingw_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${tovrel_mingw_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${tovrel_mingw_triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${tovrel_mingw_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# every binary carries its runtime: no libstdc++, libgcc or libwinpthread DLL beside it, so the
# library loads in any host and the test programs run under Wine without a DLL search path
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# test programs run under Wine, in a prefix of this build's own; cmake/wine-run creates it on first use
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run;${tovrel_wine};${CMAKE_BINARY_DIR}/wine")
