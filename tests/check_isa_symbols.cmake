# Fails if an object of the AVX2 build of the parser defines a symbol outside
# its own namespace (avx2::): the linker could take such a symbol, say an
# out-of-line copy of an inline function, for the baseline code too, which
# would then stop with an illegal instruction on a processor without AVX2.
# Run with -DOBJS=<object files joined by '|'>.
string(REPLACE "|" ";" objs "${OBJS}")
foreach(obj IN LISTS objs)
  execute_process(COMMAND nm -C --defined-only ${obj} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${obj}")
  endif()
  string(REGEX MATCHALL "[^\n]+" lines "${out}")
  foreach(line IN LISTS lines)
    # Local symbols (lower-case type) stay in their object.
    if(NOT line MATCHES "^[0-9a-fA-F]* +[A-Z] ")
      continue()
    endif()
    string(REGEX REPLACE "^[0-9a-fA-F]* +[A-Z] +" "" name "${line}")
    if(NOT name MATCHES "(^|[^A-Za-z0-9_])avx2::")
      message(FATAL_ERROR "${obj} defines ${name} outside the avx2 namespace")
    endif()
  endforeach()
endforeach()
message(STATUS "AVX2 build: every global symbol is in its namespace")
