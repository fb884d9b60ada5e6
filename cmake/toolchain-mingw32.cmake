# 32-bit Windows (i686): the utility as it ships.
set(NR_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
