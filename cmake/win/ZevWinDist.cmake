# The shipped Windows folder: after the deliverables are linked, dist/ gets the Qt plugins and
# every DLL they import (see deploy.cmake), and fastbootfile/ a note on the adb files that go
# there (Google's platform tools; we do not ship them).
find_program(ZEV_MINGW_OBJDUMP NAMES x86_64-w64-mingw32-objdump REQUIRED)
find_program(ZEV_MINGW_STRIP NAMES x86_64-w64-mingw32-strip REQUIRED)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-libgcc-file-name
  OUTPUT_VARIABLE zev_libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(zev_gcc_dir ${zev_libgcc} DIRECTORY)
set(zev_dll_search ${ZEV_WIN_TOOLCHAIN_BIN} ${zev_gcc_dir} /usr/x86_64-w64-mingw32/lib)

set(zev_fastboot_readme ${ZEV_DIST_DIR}/fastbootfile/README.txt)
file(WRITE ${CMAKE_BINARY_DIR}/fastbootfile-README.txt
"Put the Android platform tools' adb here before running Tarvo2_UpgradeTool.exe:\r
\r
  adb.exe\r
  AdbWinApi.dll\r
  AdbWinUsbApi.dll\r
\r
They come with Google's Android SDK Platform-Tools for Windows and are not shipped with the tool.\r
")

add_custom_target(zev_windows_dist ALL
  COMMAND ${CMAKE_COMMAND} -E make_directory ${ZEV_DIST_DIR}/fastbootfile ${ZEV_DIST_DIR}/Log
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${CMAKE_BINARY_DIR}/fastbootfile-README.txt
          ${zev_fastboot_readme}
  COMMAND ${CMAKE_COMMAND} -DDIST=${ZEV_DIST_DIR} -DOBJDUMP=${ZEV_MINGW_OBJDUMP} -DSTRIP=${ZEV_MINGW_STRIP}
          -DPLUGINS=${ZEV_WIN_TOOLCHAIN_PLUGINS} "-DSEARCH=${zev_dll_search}"
          -P ${CMAKE_CURRENT_LIST_DIR}/deploy.cmake
  COMMENT "Completing the Windows dist/ folder"
  VERBATIM)
foreach(t ${ZEV_SHIPPED_PROGRAMS} AdbConductor ZEVSocketSession LibWireClass ZEVDownloadHandler
          robot-console Tarvo2_UpgradeTool_dist)
  if(TARGET ${t})
    add_dependencies(zev_windows_dist ${t})
  endif()
endforeach()
install(FILES ${zev_fastboot_readme} DESTINATION fastbootfile)
install(DIRECTORY ${ZEV_DIST_DIR}/platforms ${ZEV_DIST_DIR}/styles DESTINATION .)
install(CODE "
  file(GLOB zev_dlls \"${ZEV_DIST_DIR}/*.dll\")
  file(INSTALL \${zev_dlls} DESTINATION \"\${CMAKE_INSTALL_PREFIX}\")
")
# Last: signing what was installed above.
include(${CMAKE_CURRENT_LIST_DIR}/ZevWinSign.cmake)
