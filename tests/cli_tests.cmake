# The command-line tool, run as a process by a POSIX shell script: output
# bytes of each mode, messages, exit statuses, and batch output against
# single-file output. The example program gives what the library returns.
if(TARGET tarnwick-wikitext)
  foreach(group modes errors standalone batch)
    add_test(NAME cli_${group}
      COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/cli/cli_test.sh ${group}
        $<TARGET_FILE:tarnwick-wikitext> $<TARGET_FILE:wtcore-example>
        ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR}/cli/${group})
    set_tests_properties(cli_${group} PROPERTIES LABELS cli)
  endforeach()
endif()
