# Checks a newer build of the parser (ISA = avx2 or avx512): every global
# symbol its objects define for our own code is in its namespace (ISA::), and
# every function they hold
# outside that namespace (library templates the compiler emitted out of line,
# which the linker may share with the baseline build) is free of AVX and BMI
# instructions. Either fault could make the baseline build stop with an
# illegal instruction on a processor without the newer instructions.
# Run with -DISA=<name> -DOBJS=<object files joined by '|'>.
if(NOT ISA)
  message(FATAL_ERROR "ISA not given")
endif()
string(REPLACE "|" ";" objs "${OBJS}")
set(checked 0)
foreach(obj IN LISTS objs)
  execute_process(COMMAND nm -C --defined-only ${obj} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${obj}")
  endif()
  string(REGEX MATCHALL "[^\n]+" lines "${out}")
  foreach(line IN LISTS lines)
    if(NOT line MATCHES "^[0-9a-fA-F]* +[A-Z] ") # local symbols stay in their object
      continue()
    endif()
    string(REGEX REPLACE "^[0-9a-fA-F]* +[A-Z] +" "" name "${line}")
    if(name MATCHES "(^|[^A-Za-z0-9_])${ISA}::")
      continue()
    endif()
    if(name MATCHES "(^|[^A-Za-z0-9_])(wt|wt_buf|wt_parse|wt_extract)")
      message(FATAL_ERROR "${obj} defines ${name} outside the ${ISA} namespace")
    endif()
  endforeach()

  execute_process(COMMAND objdump -d --no-show-raw-insn -C ${obj} OUTPUT_VARIABLE dis RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "objdump failed on ${obj}")
  endif()
  string(REGEX MATCHALL "[^\n]+" lines "${dis}")
  set(fn "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^[0-9a-f]+ <(.*)>:$")
      set(fn "${CMAKE_MATCH_1}")
      continue()
    endif()
    if(fn STREQUAL "" OR fn MATCHES "(^|[^A-Za-z0-9_])${ISA}::")
      continue()
    endif()
    # tzcnt is left out: compilers write "rep bsf" for every x86-64, which
    # disassembles as tzcnt.
    if(line MATCHES ":[ \t]+(v[a-z0-9]+|lzcnt|andn|bextr|blsi|blsmsk|blsr|bzhi|pdep|pext|rorx|sarx|shlx|shrx|mulx)[ \t]")
      message(FATAL_ERROR "${obj}: ${fn} is outside the ${ISA} namespace but uses ${CMAKE_MATCH_1}")
    endif()
  endforeach()
  math(EXPR checked "${checked} + 1")
endforeach()
if(checked EQUAL 0)
  message(FATAL_ERROR "no objects to check")
endif()
message(STATUS "${ISA} build: ${checked} objects, nothing of theirs outside their namespace needs its instructions")
