# Cross-compiling the 64-bit twin that the Wine suite runs.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(QVINST98_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
