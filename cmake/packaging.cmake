# What an install puts where, and the packages CPack makes of it: on Linux
# the programs, the manual page and the documentation, as a Debian package;
# on Windows update.exe and a plain-text README, as a zip.
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME update)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The update developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "install a firmware image into a USB MIDI device")
set(CPACK_STRIP_FILES ON)

# The package's maintainer: a maker who ships it with a device names itself.
set(UPDATE_PACKAGE_MAINTAINER "The update developers <update-developers@example.org>" CACHE STRING
    "Maintainer of the Debian package, as Name <address>")

if(WIN32)
  configure_file(docs/README-windows.txt README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(LICENSE LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(TARGETS update RUNTIME DESTINATION .)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME update-${PROJECT_VERSION}-windows-x64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
elseif(EMSCRIPTEN)
  # The page installs itself (web/CMakeLists.txt); its zip is built with it.
  return()
else()
  # One manual page tells of all three programs; Debian keeps pages and
  # changelogs compressed.
  set(gz ${CMAKE_CURRENT_BINARY_DIR}/gz)
  file(WRITE ${gz}/update-sim.1 ".so man1/update.1\n")
  file(WRITE ${gz}/target-sim.1 ".so man1/update.1\n")
  set(compressed)
  foreach(file ${PROJECT_SOURCE_DIR}/docs/update.1 ${gz}/update-sim.1 ${gz}/target-sim.1
          ${PROJECT_SOURCE_DIR}/cmake/debian/changelog)
    get_filename_component(name ${file} NAME)
    add_custom_command(OUTPUT ${gz}/${name}.gz COMMAND sh -c "gzip -9n -c '${file}' > '${gz}/${name}.gz'"
                       DEPENDS ${file} VERBATIM)
    list(APPEND compressed ${gz}/${name}.gz)
  endforeach()
  add_custom_target(compressed_docs ALL DEPENDS ${compressed})

  install(TARGETS update update-sim target-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${gz}/update.1.gz ${gz}/update-sim.1.gz ${gz}/target-sim.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md docs/simulator.md cmake/debian/copyright ${gz}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION sound)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${UPDATE_PACKAGE_MAINTAINER}")
  set(CPACK_PACKAGE_DESCRIPTION "\
update installs a new firmware image into a USB MIDI device by MIDI System
Exclusive messages: it checks every record of the image, finds the device
among the ALSA sequencer's hardware ports, greets it, sends the image record
by record with acknowledgements and retries, and says how it went.
update-sim runs the same program against a simulated device, and
target-sim poses as the device on a real MIDI stack, for rehearsals.")
endif()

include(CPack)
