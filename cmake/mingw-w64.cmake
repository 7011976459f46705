# Cross-compiles the host for 64-bit Windows with Debian's MinGW-w64 GCC
# (posix threads flavour).
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

set(CMAKE_C_COMPILER ${MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_PREFIX}-g++-posix)
set(CMAKE_EXE_LINKER_FLAGS_INIT "${MINGW_RELEASE_LINK_FLAGS} -static-libgcc -static-libstdc++")
