# SPDX-License-Identifier: MIT
# Installation and packages.
#   cmake --install build --prefix /usr/local   bin/brivane, bin/brivane-station, bin/veskor-sim, man1 pages
#   cpack in a native build tree                brivane_<version>_<arch>.deb
#   scripts/package.sh, from both Windows trees brivane-<version>-windows-32-and-64-bit.zip
# Included from the top-level CMakeLists.txt after the programs are defined.
include(GNUInstallDirs)

# Folders made by the installation get the same mode whatever the builder's umask,
# so that the packages are the same on every machine.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(packaging ${CMAKE_CURRENT_LIST_DIR}/../packaging/deb)

set(BRIVANE_PACKAGE_SUMMARY "Programs the flash memory of a Veskor device over RS-232")

if(WIN32)
  # The zip: 64-bit\brivane.exe, 32-bit\brivane.exe, a short text on how to run
  # them, which says which is which, and the licence. scripts/package.sh packs what
  # both trees install into one zip. The texts get Windows line ends.
  install(TARGETS brivane RUNTIME DESTINATION ${BRIVANE_WINDOWS_BITS})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/../docs/README-Windows.txt
                 ${CMAKE_BINARY_DIR}/README-Windows.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/../LICENSE ${CMAKE_BINARY_DIR}/LICENSE.txt
                 @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/README-Windows.txt ${CMAKE_BINARY_DIR}/LICENSE.txt DESTINATION .)
else()
  install(TARGETS brivane brivane-station veskor-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  # Manual pages and the changelog go in compressed, as Debian installs them
  # (gzip -9n: no name or time stamp, so the package is the same on every build).
  find_program(BRIVANE_GZIP gzip)
  set(compressed_files)
  function(brivane_compressed source name result)
    if(BRIVANE_GZIP)
      set(copy ${CMAKE_BINARY_DIR}/compressed/${name})
      add_custom_command(
        OUTPUT ${copy}.gz
        COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
        COMMAND ${BRIVANE_GZIP} -9 -n -f ${copy}
        DEPENDS ${source}
        VERBATIM)
      set(compressed_files ${compressed_files} ${copy}.gz PARENT_SCOPE)
      set(${result} ${copy}.gz PARENT_SCOPE)
    else()
      set(${result} ${source} PARENT_SCOPE)
    endif()
  endfunction()

  set(installed_pages)
  foreach(page brivane.1 brivane-station.1 veskor-sim.1)
    brivane_compressed(${CMAKE_CURRENT_LIST_DIR}/../man/${page} ${page} installed)
    list(APPEND installed_pages ${installed})
  endforeach()
  install(FILES ${installed_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  # What Debian asks of every package: the copyright (with the licence), the
  # changelog (of a native package: changelog.gz), and the lintian overrides with
  # their reasons.
  brivane_compressed(${packaging}/changelog changelog installed_changelog)
  add_custom_target(compressed_docs ALL DEPENDS ${compressed_files})
  install(FILES ${packaging}/copyright ${installed_changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # Lintian reads one overrides file per package; a cross build's static programs
  # (cmake/linux-cross.cmake) add their own reasons to the common ones:
  # brivane-static.lintian-overrides or brivane-static-pie.lintian-overrides.
  set(overrides ${packaging}/brivane.lintian-overrides)
  if(BRIVANE_STATIC_LINK)
    file(READ ${packaging}/brivane.lintian-overrides common_overrides)
    file(READ ${packaging}/brivane${BRIVANE_STATIC_LINK}.lintian-overrides static_overrides)
    set(overrides ${CMAKE_BINARY_DIR}/lintian-overrides)
    file(WRITE ${overrides} "${common_overrides}${static_overrides}")
  endif()
  install(FILES ${overrides} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME brivane)

  install(FILES ${CMAKE_CURRENT_LIST_DIR}/../README.md
                ${CMAKE_CURRENT_LIST_DIR}/../docs/troubleshooting.md
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # An example unit for a headless station; the package does not enable it.
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/../docs/brivane-station.service
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
endif()

set(CPACK_PACKAGE_NAME brivane)
set(CPACK_PACKAGE_VENDOR "brivane developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY ${BRIVANE_PACKAGE_SUMMARY})
set(CPACK_PACKAGE_CONTACT "brivane developers <brivane@localhost>")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # The Windows zip is not made by CPack, whose zips carry the builder's user and
  # the folder's listing order: scripts/package.sh packs what both Windows trees
  # install, in a fixed order with fixed owners and times.
  return()
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # brivane_2.0_amd64.deb
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The summary is the first line of the package's description; this follows it.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "brivane hands a loader to the device's boot ROM, has the device erase its\nflash and sends an image in checksummed blocks. brivane-station runs it on up\nto eight ports at once, unattended, with a record of every board. veskor-sim\nplays the device on a pseudo-terminal, for trying brivane without hardware.")
  # The library dependencies (libc6, libstdc++6, libgcc-s1) are read from the
  # programs themselves; that needs dpkg-shlibdeps (package dpkg-dev).
  find_program(BRIVANE_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(BRIVANE_DEBIAN_ARCHITECTURE)
    # A cross build (cmake/linux-cross.cmake): static programs, so no library to
    # depend on, and the target's architecture rather than the build machine's.
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${BRIVANE_DEBIAN_ARCHITECTURE})
  elseif(BRIVANE_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
  endif()
endif()

include(CPack)
