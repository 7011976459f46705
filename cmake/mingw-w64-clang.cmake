# The same Windows build with Debian's clang in place of GCC, so that nothing
# leans on one compiler's leniency. It uses MinGW-w64's headers, libraries
# and linker, and GCC's static C++ runtime.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_PREFIX x86_64-w64-mingw32)
set(MINGW_GCC_DIR /usr/lib/gcc/${MINGW_PREFIX}/12-posix)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${MINGW_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${MINGW_PREFIX})
set(CMAKE_RC_COMPILER ${MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_CXX_FLAGS_INIT "-isystem ${MINGW_GCC_DIR}/include/c++ -isystem ${MINGW_GCC_DIR}/include/c++/${MINGW_PREFIX}")
# clang puts its implicit libraries after ours, so the static C++ runtime's
# need for winpthread is met by loading that archive whole, up front.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "--ld-path=/usr/bin/${MINGW_PREFIX}-ld -L${MINGW_GCC_DIR} -static -Wl,--no-insert-timestamp -s -Wl,--whole-archive -lpthread -Wl,--no-whole-archive")

set(CMAKE_CROSSCOMPILING_EMULATOR wine)
