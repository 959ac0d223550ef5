# Fails unless the shared library's defined dynamic symbols of ours are exactly
# the documented wtcore_ functions. Run with -DLIB=<path to the .so>.
set(expected
  wtcore_extract_headings_json wtcore_extract_headings_json_r
  wtcore_extract_links_json wtcore_extract_links_json_r
  wtcore_free wtcore_last_error wtcore_to_html wtcore_to_html_r wtcore_version
  wtcore_options_init wtcore_render wtcore_status_message wtcore_visit)
execute_process(COMMAND nm -D --defined-only ${LIB} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${out}")
set(found "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] +" "" name "${line}")
  # Symbols that the toolchain adds on its own are not ours.
  if(name MATCHES "^(_init|_fini|_edata|_end|__bss_start|__gmon_start__|_ITM_.*|__cxa_finalize|__.*san.*|__ubsan.*|__asan.*|__lsan.*)$")
    continue()
  endif()
  list(APPEND found ${name})
endforeach()
list(SORT found)
list(SORT expected)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exported symbols differ\n  expected: ${expected}\n  found:    ${found}")
endif()
message(STATUS "exports: ${found}")
