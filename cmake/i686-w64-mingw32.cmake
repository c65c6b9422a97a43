# Cross-compiling for Windows with MinGW-w64 (i686), win32 thread model so
# that no winpthread DLL is needed at run time.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(QVINST98_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${QVINST98_MINGW_TRIPLE}-gcc-win32)
set(CMAKE_CXX_COMPILER ${QVINST98_MINGW_TRIPLE}-g++-win32)
set(CMAKE_RC_COMPILER ${QVINST98_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${QVINST98_MINGW_TRIPLE}-objdump)

# Nothing is looked up in the build machine's own libraries or headers.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
