# Installs the project into a fresh prefix, then builds and runs a small C
# program against it twice: once with the flags from pkg-config, and once as
# a CMake project that calls find_package.
#
# Called with -D: SOURCE_DIR, WORK_DIR, GENERATOR, C_COMPILER, CXX_COMPILER.
cmake_minimum_required(VERSION 3.21)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " cmd "${ARGN}")
    message(FATAL_ERROR "failed (${rc}): ${cmd}\n${out}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

set(build ${WORK_DIR}/build)
set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})

# The prefix is given at install time, not at configure time, so the
# pkg-config file must follow the prefix actually installed to.
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${build} -G ${GENERATOR}
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
    -DWTCORE_BUILD_TESTS=OFF -DWTCORE_BUILD_CLI=ON)
run(${CMAKE_COMMAND} --build ${build} --parallel 2)
run(${CMAKE_COMMAND} --install ${build} --prefix ${prefix})

# What a distribution package would hold. Debian puts libraries under a
# multiarch directory only for the /usr prefix, so here it is lib/.
set(lib ${prefix}/lib)
foreach(f include/wtcore.h bin/tarnwick-wikitext lib/libtarnwick-wikitext-core.so.1.0.0
          lib/pkgconfig/tarnwick-wikitext-core.pc
          lib/cmake/tarnwick-wikitext-core/tarnwick-wikitext-core-config.cmake
          lib/cmake/tarnwick-wikitext-core/tarnwick-wikitext-core-config-version.cmake)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
foreach(link libtarnwick-wikitext-core.so:libtarnwick-wikitext-core.so.1
             libtarnwick-wikitext-core.so.1:libtarnwick-wikitext-core.so.1.0.0)
  string(REPLACE ":" ";" pair ${link})
  list(GET pair 0 name)
  list(GET pair 1 target)
  file(READ_SYMLINK ${lib}/${name} got)
  if(NOT got STREQUAL target)
    message(FATAL_ERROR "${name} points to '${got}', not ${target}")
  endif()
endforeach()
file(GLOB static_libs ${lib}/*.a)
if(static_libs)
  message(FATAL_ERROR "a static library was installed: ${static_libs}")
endif()

run(${prefix}/bin/tarnwick-wikitext --version)
if(NOT run_output STREQUAL "tarnwick-wikitext 1.0.0\n")
  message(FATAL_ERROR "installed tool says: ${run_output}")
endif()

# 1. pkg-config, as a Makefile would use it.
find_program(PKG_CONFIG pkg-config REQUIRED)
set(ENV{PKG_CONFIG_PATH} ${lib}/pkgconfig)
run(${PKG_CONFIG} --cflags --libs tarnwick-wikitext-core)
string(STRIP "${run_output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
if(NOT "-I${prefix}/include" IN_LIST flags OR NOT "-L${lib}" IN_LIST flags)
  message(FATAL_ERROR "pkg-config flags do not point into ${prefix}: ${flags}")
endif()
run(${C_COMPILER} ${SOURCE_DIR}/tests/package/consumer.c ${flags} -o ${WORK_DIR}/consumer-pc)
set(ENV{LD_LIBRARY_PATH} ${lib})
run(${WORK_DIR}/consumer-pc)
message(STATUS "pkg-config: ${run_output}")
unset(ENV{LD_LIBRARY_PATH})

# 2. find_package, as a CMake project would use it.
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/package -B ${WORK_DIR}/consumer-build -G ${GENERATOR}
    -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer-build)
run(${WORK_DIR}/consumer-build/consumer)
message(STATUS "find_package: ${run_output}")
