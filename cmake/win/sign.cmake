# Signs Windows programs in place with Authenticode when this build folder has a signing
# certificate (ZevWinSign.cmake); leaves them untouched when it has none.
#   cmake -DSETTINGS=<build>/zev-sign-settings.cmake "-DFILES=a.exe;b.dll" -P sign.cmake
cmake_minimum_required(VERSION 3.20)
include(${SETTINGS})
if(NOT ZEV_SIGNING)
  return()
endif()
foreach(file ${FILES})
  # osslsigncode writes a new file; a failed run must not leave a half-signed one in place.
  execute_process(COMMAND ${ZEV_OSSLSIGNCODE} sign ${ZEV_SIGN_ARGS} -in ${file} -out ${file}.signed
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    file(REMOVE ${file}.signed)
    message(FATAL_ERROR "Signing ${file} failed:\n${out}")
  endif()
  file(RENAME ${file}.signed ${file})
endforeach()
