# Install rules: the shared library with its SONAME links, the header, the
# command-line tool, a pkg-config file and a CMake package. The static library
# is a build-tree convenience for the tests and the tool and is not installed,
# and neither is the example program.
include(CMakePackageConfigHelpers)

set(WTCORE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/${PROJECT_NAME})

# libtarnwick-wikitext-core.so.1.0.0 and the .so.1 link are what programs need
# at run time; the .so link, the header and the package files serve building.
install(TARGETS tarnwick-wikitext-core EXPORT ${PROJECT_NAME}-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/include/wtcore.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

if(TARGET tarnwick-wikitext)
  install(TARGETS tarnwick-wikitext RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
endif()

install(EXPORT ${PROJECT_NAME}-targets
  NAMESPACE tarnwick::
  FILE ${PROJECT_NAME}-targets.cmake
  DESTINATION ${WTCORE_CMAKE_DIR} COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/${PROJECT_NAME}-config.cmake.in
  ${PROJECT_BINARY_DIR}/${PROJECT_NAME}-config.cmake
  INSTALL_DESTINATION ${WTCORE_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/${PROJECT_NAME}-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/${PROJECT_NAME}-config.cmake
  ${PROJECT_BINARY_DIR}/${PROJECT_NAME}-config-version.cmake
  DESTINATION ${WTCORE_CMAKE_DIR} COMPONENT development)

# The pkg-config file is written when installing, not when configuring, so
# that its prefix is the one actually installed to (cmake --install --prefix).
# Directories given relative to the prefix are written relative to ${prefix}.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(WTCORE_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(WTCORE_PC_${dir} "\\\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
set(WTCORE_PC_FILE ${PROJECT_BINARY_DIR}/pkgconfig/${PROJECT_NAME}.pc)
install(CODE "
  set(WTCORE_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(WTCORE_PC_LIBDIR \"${WTCORE_PC_LIBDIR}\")
  set(WTCORE_PC_INCLUDEDIR \"${WTCORE_PC_INCLUDEDIR}\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/${PROJECT_NAME}.pc.in\" \"${WTCORE_PC_FILE}\" @ONLY)
" COMPONENT development)
install(FILES ${WTCORE_PC_FILE}
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)
