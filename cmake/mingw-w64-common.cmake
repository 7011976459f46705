# What both Windows toolchains share: the target, MinGW-w64's headers,
# libraries and resource compiler, and Wine to run what they build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_RC_COMPILER ${MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR wine)

# Linked statically, so that the host imports only system DLLs; stripped and
# without a link timestamp, so that a build can be reproduced byte for byte.
set(MINGW_RELEASE_LINK_FLAGS "-static -Wl,--no-insert-timestamp -s")
