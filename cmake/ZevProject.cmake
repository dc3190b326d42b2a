# Project-wide helpers: warnings as errors in our code, sanitizer flags, test registration.

function(zev_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align -Woverloaded-virtual
    -Wformat=2 -Werror)
endfunction()

macro(zev_sanitizers)
  if(ZEV_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
  endif()
  if(ZEV_TSAN)
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
  endif()
endmacro()

# In TSan builds, a program gets the library that makes Qt's synchronisation visible to TSan
# (tests/tsan/): before every other library in the link, so that its definitions of Qt's
# functions take the place of Qt's.
function(zev_tsan_annotations target)
  if(ZEV_TSAN)
    target_link_options(${target} BEFORE PRIVATE
      "SHELL:-Wl,--push-state,--no-as-needed $<TARGET_FILE:zev_qtsync_tsan> -Wl,--pop-state")
    add_dependencies(${target} zev_qtsync_tsan)
    set_property(TARGET ${target} APPEND PROPERTY BUILD_RPATH ${CMAKE_BINARY_DIR}/tests/lib)
    # A TSan build is never shipped; its installed program still has to start.
    set_property(TARGET ${target} APPEND PROPERTY INSTALL_RPATH ${CMAKE_BINARY_DIR}/tests/lib)
  endif()
endfunction()

# Tests that meet the simulated robot (its fixed ports, an adb server) or make the program end
# every "adb" process run in namespaces of their own (scripts/isolate) where the machine
# gives them, side by side and beside other runs; elsewhere they take turns through the "robot"
# lock. Under Wine the Windows suite's sockets are its wineserver's: scripts/test isolates that
# whole run instead.
if(NOT WIN32)
  execute_process(COMMAND ${CMAKE_SOURCE_DIR}/scripts/isolate --probe
    RESULT_VARIABLE zev_isolate_probe OUTPUT_QUIET ERROR_QUIET)
  if(zev_isolate_probe EQUAL 0)
    set(ZEV_ISOLATE ${CMAKE_SOURCE_DIR}/scripts/isolate)
  endif()
endif()

# zev_add_isolated_test(NAME name COMMAND program-or-target args...)
function(zev_add_isolated_test)
  cmake_parse_arguments(R "" "NAME" "COMMAND" ${ARGN})
  if(ZEV_ISOLATE)
    list(POP_FRONT R_COMMAND program)
    if(TARGET ${program})
      set(program $<TARGET_FILE:${program}>)
    endif()
    add_test(NAME ${R_NAME} COMMAND ${ZEV_ISOLATE} ${program} ${R_COMMAND})
  else()
    add_test(NAME ${R_NAME} COMMAND ${R_COMMAND})
    set_property(TEST ${R_NAME} APPEND PROPERTY RESOURCE_LOCK robot)
  endif()
endfunction()

# zev_add_qtest(NAME name SOURCES ... LIBS ... LABELS ... [ISOLATED] [RESOURCE_LOCK lock]
#               [TIMEOUT s])
# A Qt Test executable run offscreen, in its own temporary HOME; ISOLATED: as above.
function(zev_add_qtest)
  cmake_parse_arguments(T "ISOLATED" "NAME;TIMEOUT;RESOURCE_LOCK" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE Qt5::Test ${T_LIBS})
  zev_warnings(${T_NAME})
  set_target_properties(${T_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/bin
                                              BUILD_RPATH "${ZEV_DIST_DIR};\$ORIGIN")
  zev_tsan_annotations(${T_NAME})
  if(T_ISOLATED)
    zev_add_isolated_test(NAME ${T_NAME} COMMAND ${T_NAME})
  else()
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  if(WIN32)
    # Everything the Windows build tests runs under Wine.
    list(APPEND T_LABELS windows)
    list(APPEND T_ENV ZEV_QTEST_LOG=1)
    add_dependencies(${T_NAME} zev_windows_dist)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;ZEV_SOURCE_DIR=${CMAKE_SOURCE_DIR};ZEV_DIST_DIR=${ZEV_DIST_DIR};${T_ENV}")
  if(WIN32)
    set_tests_properties(${T_NAME} PROPERTIES FIXTURES_REQUIRED wine)
  endif()
  if(T_RESOURCE_LOCK)
    set_property(TEST ${T_NAME} APPEND PROPERTY RESOURCE_LOCK ${T_RESOURCE_LOCK})
  endif()
endfunction()
