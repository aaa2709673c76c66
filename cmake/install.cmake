# SPDX-License-Identifier: BSD-3-Clause
#
# What cmake --install installs, by component:
#   dev      the core library (lib/libtamrin.a, the per-instruction-set kernel
#            objects folded in), the public headers (include/tamrin/) and the
#            CMake package: find_package(tamrin) then
#            target_link_libraries(app PRIVATE tamrin::tamrin)
#   command  the tamrin command (bin/tamrin), when it is built
#   octave   the MEX function and its help, into TAMRIN_INSTALL_OCTAVE_DIR
#            when that is set (a folder on Octave's default path, such as
#            `octave-config -p LOCALAPIOCTFILEDIR`, makes it callable
#            without addpath)
#   python   the Python package with its metadata (a .dist-info folder, so
#            that pip and Debian's helpers see its version and dependencies),
#            into TAMRIN_INSTALL_PYTHON_DIR when that is set
# Included at the end of the top-level CMakeLists.txt, once every target exists.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TAMRIN_INSTALL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tamrin CACHE STRING
    "Where the CMake package of the library is installed (relative to the prefix)")
set(TAMRIN_INSTALL_OCTAVE_DIR "" CACHE STRING "Where the MEX function for Octave is installed, absolute or under the prefix (none when empty)")
set(TAMRIN_INSTALL_PYTHON_DIR "" CACHE STRING "Where the Python package is installed, absolute or under the prefix (none when empty)")

set_target_properties(tamrin_core PROPERTIES EXPORT_NAME tamrin OUTPUT_NAME tamrin)
install(TARGETS tamrin_core EXPORT tamrin-targets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/tamrin DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(EXPORT tamrin-targets NAMESPACE tamrin:: FILE tamrin-targets.cmake
        DESTINATION ${TAMRIN_INSTALL_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/tamrin-config.cmake.in
                              ${CMAKE_BINARY_DIR}/tamrin-config.cmake
                              INSTALL_DESTINATION ${TAMRIN_INSTALL_CMAKE_DIR})
# 1.x releases keep the C++ interface: a request for 1.0 accepts 1.2.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/tamrin-config-version.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/tamrin-config.cmake ${CMAKE_BINARY_DIR}/tamrin-config-version.cmake
        DESTINATION ${TAMRIN_INSTALL_CMAKE_DIR} COMPONENT dev)

if(TARGET tamrin)
  install(TARGETS tamrin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT command)
endif()

if(TARGET tamrin_mex_octave AND TAMRIN_INSTALL_OCTAVE_DIR)
  # Tamrin.m beside the module gives `help Tamrin`.
  install(TARGETS tamrin_mex_octave LIBRARY DESTINATION ${TAMRIN_INSTALL_OCTAVE_DIR} COMPONENT octave)
  install(FILES ${PROJECT_SOURCE_DIR}/matlab/Tamrin.m DESTINATION ${TAMRIN_INSTALL_OCTAVE_DIR} COMPONENT octave)
endif()

if(TARGET tamrin_python AND TAMRIN_INSTALL_PYTHON_DIR)
  install(TARGETS tamrin_python LIBRARY DESTINATION ${TAMRIN_INSTALL_PYTHON_DIR}/tamrin COMPONENT python)
  file(GLOB tamrin_python_files ${PROJECT_SOURCE_DIR}/python/tamrin/*.py)
  install(FILES ${tamrin_python_files} DESTINATION ${TAMRIN_INSTALL_PYTHON_DIR}/tamrin COMPONENT python)
  # The package's build backend writes the metadata a wheel would carry.
  install(CODE "
    set(folder \"${TAMRIN_INSTALL_PYTHON_DIR}\")
    if(NOT IS_ABSOLUTE \"\${folder}\")
      set(folder \"\${CMAKE_INSTALL_PREFIX}/\${folder}\")
    endif()
    execute_process(COMMAND \"${Python_EXECUTABLE}\" \"${PROJECT_SOURCE_DIR}/python/backend/tamrin_build.py\"
                            dist-info \"\$ENV{DESTDIR}\${folder}\" ${PROJECT_VERSION}
                    RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR \"tamrin: the Python package's metadata could not be written\")
    endif()" COMPONENT python)
endif()
