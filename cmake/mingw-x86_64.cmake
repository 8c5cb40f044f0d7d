# Cross-build of the Windows program as 64-bit, with mingw-w64: what the Wine
# tests run where the kernel runs no 32-bit programs.
set(QUARN_MINGW x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-i686.cmake)
