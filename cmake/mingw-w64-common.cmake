# The part of the MinGW-w64 toolchains that does not depend on the target:
# the win32 thread model compilers (no winpthread DLL at run time) and no
# look-ups in the build machine's own libraries or headers. The including
# toolchain sets QVINST98_MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${QVINST98_MINGW_TRIPLE}-gcc-win32)
set(CMAKE_CXX_COMPILER ${QVINST98_MINGW_TRIPLE}-g++-win32)
set(CMAKE_RC_COMPILER ${QVINST98_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${QVINST98_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
