# cmake --install lays out the shipped folder; CPack packs it: on Linux a .deb and a .tar.gz, on
# Windows a per-user installer (our own NSIS.template.in in cmake/win/) and a portable .zip.
set(CPACK_PACKAGE_VENDOR "Tarvo Robotics")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "One-click upgrade tool for Tarvo2 service robots")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
if(WIN32)
  list(APPEND CMAKE_MODULE_PATH ${CMAKE_CURRENT_LIST_DIR}/win)
  set(CPACK_PACKAGE_NAME "Tarvo2_UpgradeTool")
  set(CPACK_PACKAGE_FILE_NAME "Tarvo2_UpgradeTool-${PROJECT_VERSION}-win64")
  set(CPACK_GENERATOR "NSIS;ZIP")
  # zlib: 27 MB pack into 11.8 MB in 4 s; lzma saves 2.3 MB (solid 2.9 MB) for 17 s (26 s) of a
  # build machine's time, and the installer test makes the installer every time.
  set(CPACK_NSIS_COMPRESSOR "zlib")
  # The template's Chinese texts are UTF-8, whatever the build machine's code page.
  set(CPACK_NSIS_EXECUTABLE_PRE_ARGUMENTS "-INPUTCHARSET UTF8")
  # Read by cpack once per generator: the installer's name ends in -setup.
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/win/ZevCPackOptions.cmake)
else()
  set(CPACK_PACKAGE_NAME "tarvo2-upgradetool")
  set(CPACK_GENERATOR "DEB;TGZ")
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tarvo2 tools team")
  # Debian's Qt loads libssl 3 only when TLS is first used, so nothing links it: named here.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adb, libqt5widgets5, libqt5network5, libssl3, ca-certificates, libquazip1-qt5-1, libusb-1.0-0, libmsgpackc2, libsodium23")
  set(CPACK_PACKAGING_INSTALL_PREFIX "/opt/Tarvo2_UpgradeTool")
endif()
include(CPack)

if(WIN32)
  # Both packages without the tests (the package target builds everything first); not part of
  # every build, as the installer's compression takes a while.
  add_custom_target(zev_windows_package
    COMMAND ${CMAKE_CPACK_COMMAND} --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    COMMENT "Making the Windows installer and .zip"
    VERBATIM)
  add_dependencies(zev_windows_package zev_windows_dist)
endif()
