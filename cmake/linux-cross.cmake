# SPDX-License-Identifier: MIT
# Cross-compiles for another Linux architecture with Debian's cross compilers
# (packages g++-<triplet>). Included by the per-architecture toolchain files, which
# set BRIVANE_CROSS_TRIPLET, CMAKE_SYSTEM_PROCESSOR and BRIVANE_DEBIAN_ARCHITECTURE.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER /usr/bin/${BRIVANE_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER /usr/bin/${BRIVANE_CROSS_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${BRIVANE_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static programs run on any distribution of the board, whatever its C and C++
# libraries, and in a minimal system without them; the package then needs none.
# A static PIE keeps address space randomisation where the C library has its start
# file (rcrt1.o: arm64 on Debian 12; armhf there has none, so plain static).
if(EXISTS ${CMAKE_FIND_ROOT_PATH}/lib/rcrt1.o)
  set(BRIVANE_STATIC_LINK -static-pie)
  set(CMAKE_CXX_FLAGS_INIT -fPIE)
else()
  set(BRIVANE_STATIC_LINK -static)
endif()
set(CMAKE_EXE_LINKER_FLAGS_INIT ${BRIVANE_STATIC_LINK})
