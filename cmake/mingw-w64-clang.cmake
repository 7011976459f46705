# The same Windows build with Debian's clang in place of GCC, so that nothing
# leans on one compiler's leniency. It uses MinGW-w64's headers, libraries
# and linker, and GCC's static C++ runtime.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

set(MINGW_GCC_DIR /usr/lib/gcc/${MINGW_PREFIX}/12-posix)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${MINGW_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${MINGW_PREFIX})

set(CMAKE_CXX_FLAGS_INIT "-isystem ${MINGW_GCC_DIR}/include/c++ -isystem ${MINGW_GCC_DIR}/include/c++/${MINGW_PREFIX}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "--ld-path=/usr/bin/${MINGW_PREFIX}-ld -L${MINGW_GCC_DIR} ${MINGW_RELEASE_LINK_FLAGS}")
# DLLs (a test helper builds one) link the same way.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${CMAKE_EXE_LINKER_FLAGS_INIT}")
# clang puts its own libraries after everything else, so the static C++
# runtime's need for winpthread is met by naming the three here, in order.
# (Loading winpthread whole instead would bring in its version record.)
set(CMAKE_CXX_STANDARD_LIBRARIES "-lstdc++ -lgcc_eh -lpthread" CACHE STRING "Libraries linked into every C++ program")
