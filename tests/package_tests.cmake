# Installs the project into a temporary prefix and builds a small C program
# against it through pkg-config and through find_package. It builds the
# library once more, in Release, so it carries the label "package"
# (ctest -LE package leaves it out). Under the sanitizers it would only
# repeat the same plain build, so it is not registered there.
if(NOT WTCORE_SANITIZE)
  add_test(NAME package
    COMMAND ${CMAKE_COMMAND}
      -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
      -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/package
      -DGENERATOR=${CMAKE_GENERATOR}
      -DC_COMPILER=${CMAKE_C_COMPILER}
      -DCXX_COMPILER=${CMAKE_CXX_COMPILER}
      -P ${CMAKE_CURRENT_SOURCE_DIR}/package/run.cmake)
  set_tests_properties(package PROPERTIES LABELS package TIMEOUT 900)
endif()
