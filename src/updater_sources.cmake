# SPDX-License-Identifier: MIT
# The updater's logic, free of any serial back end, as paths under src/. The main
# build and the fuzz targets' instrumented copy both take it from here.
set(BRIVANE_UPDATER_LOGIC_SOURCES
  updater/cli.cpp
  updater/console.cpp
  updater/image.cpp
  updater/boot_image.cpp
  updater/handoff.cpp
  updater/programming.cpp
  updater/run.cpp
  serial/serial_wait.cpp
)
set(BRIVANE_UPDATER_POSIX_SOURCES updater/console_posix.cpp updater/image_file_posix.cpp)
# Shared by the updater's logic and the serial back ends: the back ends' bookkeeping
# (the tests' scripted port keeps it too) and, on POSIX, the ending signals on which
# the key wait and the device lock tidy up.
set(BRIVANE_SERIAL_COMMON_SOURCES serial/serial_common.cpp)
set(BRIVANE_SERIAL_COMMON_POSIX_SOURCES serial/ending_signals_posix.cpp)
set(BRIVANE_UPDATER_WIN32_SOURCES updater/console_win32.cpp updater/image_file_win32.cpp)
