# cpack reads this once for each generator it runs.
if(CPACK_GENERATOR STREQUAL "NSIS")
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_FILE_NAME}-setup")
  # With a signing certificate makensis has the uninstaller signed before it goes into the
  # installer, and the installer once it is made (ZevWinSign.cmake).
  include(${CPACK_ZEV_SIGN_SETTINGS})
  if(ZEV_SIGNING)
    set(sign "\"${CPACK_ZEV_CMAKE}\" \"-DSETTINGS=${CPACK_ZEV_SIGN_SETTINGS}\" \"-DFILES=%1\"")
    set(sign "${sign} -P \"${CPACK_ZEV_SIGN_SCRIPT}\"")
    set(CPACK_ZEV_NSIS_SIGN "!uninstfinalize '${sign}' = 0\n!finalize '${sign}' = 0")
  endif()
endif()
