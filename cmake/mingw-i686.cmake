# Cross-build of the 32-bit Windows program with mingw-w64 (mingw-x86_64.cmake
# sets QUARN_MINGW for the 64-bit build the Wine tests may need).
if(NOT QUARN_MINGW)
  set(QUARN_MINGW i686)
endif()
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${QUARN_MINGW})
set(CMAKE_C_COMPILER ${QUARN_MINGW}-w64-mingw32-gcc)
set(CMAKE_CXX_COMPILER ${QUARN_MINGW}-w64-mingw32-g++)
set(CMAKE_RC_COMPILER ${QUARN_MINGW}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QUARN_MINGW}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
