# SPDX-License-Identifier: MIT
# 32-bit ARM Linux with hardware floating point (ARMv7 and later: Raspberry Pi 2 on,
# and 32-bit systems on 64-bit boards), static.
set(BRIVANE_CROSS_TRIPLET arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(BRIVANE_DEBIAN_ARCHITECTURE armhf)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
