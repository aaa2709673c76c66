# SPDX-License-Identifier: BSD-3-Clause
# Writes ${CMAKE_BINARY_DIR}/octave-package/sources.mk, the source lists and
# per-source flags of Octave's package (scripts/octave-package), taken from the
# targets this build defines so that the package builds what CMake builds:
#   TAMRIN_VERSION            the project's version
#   PROJECT_OPTIONS           the compile options of every target
#   GATEWAY_SOURCES           the MEX module's own sources
#   CORE_SOURCES              tamrin_core's sources
#   CORE_DEFINES_<source>     a core source's own definitions (-D...)
#   ISAS                      the object libraries linked into tamrin_core
#   ISA_<isa>_SOURCES, ISA_<isa>_DEFINES, ISA_<isa>_OPTIONS (beyond PROJECT_OPTIONS)
# Paths are relative to the source tree. The object libraries with options of
# their own (-mavx2, ...) and the sources' own definitions exist only in
# builds for x86-64; the package's Makefile uses them only there.
# Included at the end of the top-level CMakeLists.txt, once every target exists.
if(NOT TARGET tamrin_mex_octave)
  return()
endif()

function(tamrin_relative_paths out)
  set(paths "")
  foreach(path IN LISTS ARGN)
    if(IS_ABSOLUTE "${path}")
      file(RELATIVE_PATH path "${PROJECT_SOURCE_DIR}" "${path}")
    endif()
    list(APPEND paths "${path}")
  endforeach()
  list(JOIN paths " " joined)
  set(${out} "${joined}" PARENT_SCOPE)
endfunction()

function(tamrin_definition_flags out)
  set(flags "")
  foreach(definition IN LISTS ARGN)
    list(APPEND flags "-D${definition}")
  endforeach()
  list(JOIN flags " " joined)
  set(${out} "${joined}" PARENT_SCOPE)
endfunction()

set(manifest "# Written by CMake (cmake/octave_package.cmake) from the build's targets.\n")
string(APPEND manifest "TAMRIN_VERSION := ${PROJECT_VERSION}\n")
get_directory_property(project_options DIRECTORY ${PROJECT_SOURCE_DIR} COMPILE_OPTIONS)
list(JOIN project_options " " project_option_list)
string(APPEND manifest "PROJECT_OPTIONS := ${project_option_list}\n")

get_target_property(gateway_sources tamrin_mex_octave SOURCES)
tamrin_relative_paths(gateway_list ${gateway_sources})
string(APPEND manifest "GATEWAY_SOURCES := ${gateway_list}\n")

get_target_property(core_entries tamrin_core SOURCES)
set(core_sources "")
set(isas "")
foreach(entry IN LISTS core_entries)
  if(entry MATCHES "^\\$<TARGET_OBJECTS:(.+)>$")
    list(APPEND isas ${CMAKE_MATCH_1})
    continue()
  endif()
  tamrin_relative_paths(source "${entry}")
  list(APPEND core_sources "${source}")
  get_source_file_property(definitions "${entry}" COMPILE_DEFINITIONS)
  if(definitions)
    tamrin_definition_flags(flags ${definitions})
    string(APPEND manifest "CORE_DEFINES_${source} := ${flags}\n")
  endif()
endforeach()
list(JOIN core_sources " " core_list)
string(APPEND manifest "CORE_SOURCES := ${core_list}\n")

list(JOIN isas " " isa_list)
string(APPEND manifest "ISAS := ${isa_list}\n")
foreach(isa IN LISTS isas)
  get_target_property(sources ${isa} SOURCES)
  get_target_property(definitions ${isa} COMPILE_DEFINITIONS)
  get_target_property(options ${isa} COMPILE_OPTIONS)
  tamrin_relative_paths(source_list ${sources})
  set(definition_list "")
  set(option_list "")
  if(definitions)
    tamrin_definition_flags(definition_list ${definitions})
  endif()
  if(options)
    list(REMOVE_ITEM options ${project_options})
    list(JOIN options " " option_list)
  endif()
  string(APPEND manifest "ISA_${isa}_SOURCES := ${source_list}\n")
  string(APPEND manifest "ISA_${isa}_DEFINES := ${definition_list}\n")
  string(APPEND manifest "ISA_${isa}_OPTIONS := ${option_list}\n")
endforeach()

if(manifest MATCHES "\\$<")
  message(WARNING "Octave package: generator expressions in the source lists or flags; sources.mk not written")
  return()
endif()
file(WRITE ${CMAKE_BINARY_DIR}/octave-package/sources.mk "${manifest}")
