# licht_scenarios(<prefix> SCRIPT <script> LABEL <label> [SCALE <factor>]
#                 [WORKING_DIRECTORY <dir>] [START <args...>] RUN <args...>)
# Every scenario of an end-to-end script (tests/e2e/common.sh) as a CTest
# test of its own, <prefix>_<scenario>, bound by the seconds the script
# gives it times SCALE. They share one desktop, which the fixture tests
# <prefix>_desktop_start and <prefix>_desktop_stop start and end; its
# address is in <prefix>.session in this build folder. Each scenario wants
# a quiet display, and some load both cores: none runs beside another test.
# One that does not apply to a build (skip, in common.sh) is skipped.
function(licht_scenarios prefix)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "SCRIPT;LABEL;SCALE;WORKING_DIRECTORY" "START;RUN")
  if(NOT arg_SCALE)
    set(arg_SCALE 1)
  endif()
  if(NOT arg_WORKING_DIRECTORY)
    set(arg_WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  endif()
  set(session ${CMAKE_CURRENT_BINARY_DIR}/${prefix}.session)
  set(fixture ${prefix}_desktop)
  execute_process(COMMAND bash ${arg_SCRIPT} --list OUTPUT_VARIABLE listing RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR listing STREQUAL "")
    message(FATAL_ERROR "${arg_SCRIPT} --list named no scenarios")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${arg_SCRIPT})

  math(EXPR start_timeout "120 * ${arg_SCALE}")
  add_test(NAME ${fixture}_start COMMAND ${arg_SCRIPT} --start ${session} ${arg_START})
  add_test(NAME ${fixture}_stop COMMAND ${arg_SCRIPT} --stop ${session})
  set_tests_properties(${fixture}_start PROPERTIES FIXTURES_SETUP ${fixture} TIMEOUT ${start_timeout}
                       LABELS ${arg_LABEL})
  set_tests_properties(${fixture}_stop PROPERTIES FIXTURES_CLEANUP ${fixture} TIMEOUT 60 LABELS ${arg_LABEL})

  string(REPLACE "\n" ";" lines "${listing}")
  foreach(line IN LISTS lines)
    if(line MATCHES "^([a-z0-9_]+) ([0-9]+)$")
      set(name ${prefix}_${CMAKE_MATCH_1})
      math(EXPR timeout "${CMAKE_MATCH_2} * ${arg_SCALE}")
      add_test(NAME ${name} COMMAND ${arg_SCRIPT} ${session} ${arg_RUN} ${CMAKE_MATCH_1}
               WORKING_DIRECTORY ${arg_WORKING_DIRECTORY})
      set_tests_properties(${name} PROPERTIES TIMEOUT ${timeout} RUN_SERIAL TRUE FIXTURES_REQUIRED ${fixture}
                           SKIP_RETURN_CODE 77
                           LABELS ${arg_LABEL})
    endif()
  endforeach()
endfunction()
