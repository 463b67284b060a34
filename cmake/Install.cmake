# `cmake --install`: the module, the host-facing headers, the reference host and
# the simulator, with a CMake package config and a pkg-config file for hosts.
#
# Hosts load the module with dlopen and never link it, so the package gives
# them the headers (an INTERFACE target) and the module's path, not a library
# to link.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TALVIK_PACKAGE_NAME talvik_arecont)
set(TALVIK_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/${TALVIK_PACKAGE_NAME})

if(TARGET talvik_arecont)
  # A module to dlopen: no SONAME, no import library. On Windows the DLL goes
  # beside the host, where LoadLibraryA finds it.
  install(TARGETS talvik_arecont LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
          RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT module)
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/talvik DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        COMPONENT development FILES_MATCHING PATTERN "*.h")
foreach(tool talvik-host camsim)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  endif()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/examples/talvik_arecont.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/${TALVIK_PACKAGE_NAME}
        RENAME talvik_arecont.xml.example COMPONENT development)

if(TARGET talvik-host AND NOT WIN32)
  # An installed host finds the installed module in the library directory.
  file(RELATIVE_PATH _talvik_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  target_compile_definitions(talvik_host_objects PRIVATE
    TALVIK_HOST_INSTALLED_MODULE="${_talvik_bin_to_lib}/libtalvik_arecont.so")
endif()

# CMake package: find_package(talvik_arecont) gives talvik_arecont::talvik_arecont
# and talvik_arecont_MODULE (see the config template).
set(TALVIK_HAVE_CAMSIM ${TALVIK_CAMSIM})
configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/talvik_arecontConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/talvik_arecontConfig.cmake
  INSTALL_DESTINATION ${TALVIK_CMAKE_INSTALL_DIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR CMAKE_INSTALL_LIBDIR CMAKE_INSTALL_BINDIR
            CMAKE_INSTALL_DATADIR)
# 0.x: a newer minor version may change the interfaces.
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/package/talvik_arecontConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/talvik_arecontConfig.cmake
              ${PROJECT_BINARY_DIR}/package/talvik_arecontConfigVersion.cmake
        DESTINATION ${TALVIK_CMAKE_INSTALL_DIR} COMPONENT development)

# pkg-config: the prefix is found from the .pc file's own place, so the
# install tree can be moved (and installed with --prefix elsewhere).
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(TALVIK_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH _talvik_pc_up /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
  string(REGEX REPLACE "/$" "" _talvik_pc_up "${_talvik_pc_up}")
  set(TALVIK_PC_PREFIX "\${pcfiledir}/${_talvik_pc_up}")
endif()
set(TALVIK_PC_LIBS "")
foreach(lib ${CMAKE_DL_LIBS})
  string(APPEND TALVIK_PC_LIBS " -l${lib}")
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/talvik_arecont.pc.in
               ${PROJECT_BINARY_DIR}/package/talvik_arecont.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/talvik_arecont.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

# Installs into a temporary prefix, builds examples/minimal-host both ways and
# records from camsim with it.
if(TALVIK_TESTS AND TALVIK_CAMSIM AND NOT TALVIK_SANITIZE AND NOT TALVIK_FUZZ)
  add_test(NAME kit.InstallAndMinimalHost
           COMMAND ${PROJECT_SOURCE_DIR}/scripts/test-kit ${PROJECT_BINARY_DIR})
  set_tests_properties(kit.InstallAndMinimalHost PROPERTIES LABELS integration TIMEOUT 600)
endif()
