# Cross-compiling for Windows with the posix-thread mingw-w64 compilers, for
# the architecture NR_ARCH (i686 or x86_64) that the including file sets.
set(CMAKE_SYSTEM_NAME Windows)
if(NOT NR_ARCH MATCHES "^(i686|x86_64)$")
    message(FATAL_ERROR "NR_ARCH is \"${NR_ARCH}\": i686 or x86_64")
endif()
set(CMAKE_SYSTEM_PROCESSOR ${NR_ARCH})

set(NR_MINGW_PREFIX ${NR_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${NR_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${NR_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${NR_MINGW_PREFIX}-windres)
set(CMAKE_AR ${NR_MINGW_PREFIX}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${NR_MINGW_PREFIX}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${NR_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages installed outside the compiler's root (CMAKE_PREFIX_PATH) are found too.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# Programs built here run under Wine (ctest, test discovery); the wrapper
# picks the Wine loader of the program's architecture. The copy installed
# with the package has no wrapper beside it.
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
endif()
