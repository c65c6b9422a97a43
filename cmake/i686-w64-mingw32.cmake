# Cross-compiling the 32-bit product DLL with MinGW-w64.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QVINST98_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
