# SPDX-License-Identifier: MIT
# Cross-compiles for 64-bit Windows with MinGW-w64 (mingw-w64-i686.cmake includes
# this file for 32-bit Windows). The -posix compiler variant brings the C++
# threading model that the standard library needs.
set(CMAKE_SYSTEM_NAME Windows)
if(NOT MINGW_TRIPLET)
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
  set(MINGW_TRIPLET x86_64-w64-mingw32)
endif()

set(CMAKE_C_COMPILER /usr/bin/${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER /usr/bin/${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER /usr/bin/${MINGW_TRIPLET}-windres)
# windres preprocesses with the cross compiler itself, not whichever gcc it finds.
set(CMAKE_RC_FLAGS_INIT "--preprocessor=${CMAKE_C_COMPILER} --preprocessor-arg=-E \
--preprocessor-arg=-xc --preprocessor-arg=-DRC_INVOKED")

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
