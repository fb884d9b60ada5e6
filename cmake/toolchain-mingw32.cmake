# Cross-compiling for 32-bit Windows with the posix-thread mingw-w64 compilers.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(NR_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${NR_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${NR_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${NR_MINGW_PREFIX}-windres)
set(CMAKE_AR ${NR_MINGW_PREFIX}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${NR_MINGW_PREFIX}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${NR_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program carries its own runtime: it imports only Windows' DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Programs built here run under Wine (ctest, test discovery).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
