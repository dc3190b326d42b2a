# Authenticode for what the Windows packages ship, when a publisher gives a code-signing
# certificate: our own programs and libraries as cpack (or cmake --install) lays them out, and the
# NSIS installer and the uninstaller it writes (ZevCPackOptions.cmake). Without a certificate
# nothing is signed and the packages are what they were.
#
# The certificate: ZEV_SIGN_PKCS12 (a .pfx/.p12 file), or ZEV_SIGN_CERT (PEM, the chain from the
# leaf up) with ZEV_SIGN_KEY (PEM). ZEV_SIGN_PASSWORD_FILE holds the password of either, read by
# osslsigncode from the file so that it shows on no command line. ZEV_SIGN_TIMESTAMP_URL: an
# RFC 3161 time-stamping service, so that signatures outlive the certificate. Each is a cache
# variable, and an environment variable of the same name set when packaging takes its place.

# What we sign: what we wrote. The toolchain's DLLs (Qt, the compiler's runtime, zlib, libusb,
# QuaZip, libsodium) are other projects' work: our signature would vouch for code we did not
# write, and the signed installer already protects them on the way to the user.
set(ZEV_SIGNED_FILES
  Tarvo2_UpgradeTool.exe
  Tarvo2_UpgradeTool.com
  robot-console.exe
  AdbConductor.dll
  ZEVSocketSession.dll
  LibWireClass.dll
  ZEVDownloadHandler.dll)

set(ZEV_SIGN_PKCS12 "" CACHE FILEPATH "Code-signing certificate and key (PKCS#12)")
set(ZEV_SIGN_CERT "" CACHE FILEPATH "Code-signing certificate chain (PEM), with ZEV_SIGN_KEY")
set(ZEV_SIGN_KEY "" CACHE FILEPATH "Private key (PEM) of ZEV_SIGN_CERT")
set(ZEV_SIGN_PASSWORD_FILE "" CACHE FILEPATH "File holding the password of the signing key")
set(ZEV_SIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamping service for the signatures")
find_program(ZEV_OSSLSIGNCODE osslsigncode)

set(ZEV_SIGN_SETTINGS ${CMAKE_BINARY_DIR}/zev-sign-settings.cmake)
configure_file(${CMAKE_CURRENT_LIST_DIR}/sign-settings.cmake.in ${ZEV_SIGN_SETTINGS} @ONLY)

# Read by ZevCPackOptions.cmake when cpack runs.
set(CPACK_ZEV_CMAKE ${CMAKE_COMMAND})
set(CPACK_ZEV_SIGN_SETTINGS ${ZEV_SIGN_SETTINGS})
set(CPACK_ZEV_SIGN_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/sign.cmake)

# The last install rule: everything is in place by now.
install(CODE "
  set(zev_signed)
  foreach(f ${ZEV_SIGNED_FILES})
    list(APPEND zev_signed \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${f}\")
  endforeach()
  execute_process(COMMAND \"${CMAKE_COMMAND}\" -DSETTINGS=${ZEV_SIGN_SETTINGS}
    \"-DFILES=\${zev_signed}\" -P ${CMAKE_CURRENT_LIST_DIR}/sign.cmake COMMAND_ERROR_IS_FATAL ANY)
")
