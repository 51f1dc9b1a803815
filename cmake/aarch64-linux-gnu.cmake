# SPDX-License-Identifier: MIT
# 64-bit ARM Linux (Raspberry Pi OS 64-bit and other arm64 boards), static.
set(BRIVANE_CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(BRIVANE_DEBIAN_ARCHITECTURE arm64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
