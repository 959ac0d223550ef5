# The command-line tool, run as a process by a POSIX shell script: output
# bytes of each mode and option, messages, exit statuses, batch output against
# single-file output, outputs that must not be lost, memory and thread limits,
# and a site whose links are followed by a checker.
# render_ref prints what the library returns for a format and options.
if(TARGET tarnwick-wikitext)
  add_executable(render_ref cli/render_ref.c)
  target_link_libraries(render_ref PRIVATE tarnwick-wikitext-core)
  wtcore_warnings(render_ref)
  find_package(Python3 COMPONENTS Interpreter)
  if(NOT Python3_Interpreter_FOUND)
    message(STATUS "Python 3 not found: cli_site reports SKIP (it follows the site's links with Python)")
  endif()
  # Limits of virtual memory do not go with AddressSanitizer's shadow memory.
  set(limits_ok 1)
  if(WTCORE_SANITIZE)
    set(limits_ok 0)
  endif()
  foreach(group modes errors standalone batch options safety limits site)
    add_test(NAME cli_${group}
      COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/cli/cli_test.sh ${group}
        $<TARGET_FILE:tarnwick-wikitext> $<TARGET_FILE:render_ref>
        ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR}/cli/${group})
    set_tests_properties(cli_${group} PROPERTIES LABELS cli SKIP_RETURN_CODE 77
      ENVIRONMENT "PYTHON=${Python3_EXECUTABLE};LIMITS_OK=${limits_ok}")
  endforeach()
endif()
