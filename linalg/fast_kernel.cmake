# SPDX-License-Identifier: BSD-3-Clause
# The fast decomposition kernel: linalg/fast_work.cpp chooses at run time between
# builds of the stage sources for several instruction sets, each compiled in
# its own namespace so that one binary runs on any x86-64 processor.
set(TAMRIN_FAST_STAGE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/fast_reduce.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fast_reduce_batch.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fast_reduce_large.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fast_accumulate.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fast_diagonalise.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fast_replay.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fast_finish.cpp
)

# tamrin_fast_stages(isa [OPTIONS flags...]): the stage sources compiled with
# the given flags in the namespace isa_<isa>.
function(tamrin_fast_stages isa)
  cmake_parse_arguments(PARSE_ARGV 1 stage "" "" "OPTIONS")
  add_library(tamrin_fast_${isa} OBJECT ${TAMRIN_FAST_STAGE_SOURCES})
  target_include_directories(tamrin_fast_${isa} PRIVATE ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR})
  target_compile_definitions(tamrin_fast_${isa} PRIVATE TAMRIN_ISA_NS=isa_${isa})
  target_compile_options(tamrin_fast_${isa} PRIVATE ${stage_OPTIONS})
  target_sources(tamrin_core PRIVATE $<TARGET_OBJECTS:tamrin_fast_${isa}>)
endfunction()

target_sources(tamrin_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/fast_work.cpp)
tamrin_fast_stages(baseline)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  tamrin_fast_stages(avx2 OPTIONS -mavx2)
  tamrin_fast_stages(avx512 OPTIONS -mavx512f)
  set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/fast_work.cpp PROPERTIES COMPILE_DEFINITIONS TAMRIN_FAST_X86)
endif()
