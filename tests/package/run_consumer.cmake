# SPDX-License-Identifier: BSD-3-Clause
#
# The CMake package end to end: installs the build's library component into
# a scratch prefix with cmake --install, checks what it holds, then
# configures, builds and runs the consumer project against it.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=<repository> -DWORK_DIR=... -DVERSION=...
#         -DCXX=... -P run_consumer.cmake
foreach(variable BUILD_DIR SOURCE_DIR WORK_DIR VERSION CXX)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "run_consumer.cmake: -D${variable}=... is required")
  endif()
endforeach()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    list(JOIN ARGN " " command)
    message(FATAL_ERROR "failed (${result}): ${command}")
  endif()
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --component dev)

# Every public header, and nothing of the build or source tree beyond them.
file(GLOB_RECURSE headers RELATIVE ${SOURCE_DIR}/include ${SOURCE_DIR}/include/tamrin/*)
file(GLOB_RECURSE installed RELATIVE ${prefix} ${prefix}/*)
foreach(header IN LISTS headers)
  list(FIND installed include/${header} found)
  if(found EQUAL -1)
    message(FATAL_ERROR "cmake --install left out include/${header}")
  endif()
endforeach()
list(FILTER installed EXCLUDE REGEX "^include/tamrin/")
list(FILTER installed EXCLUDE REGEX "^lib[^/]*/([^/]+/)?libtamrin\\.a$")
list(FILTER installed EXCLUDE REGEX "^lib[^/]*/([^/]+/)?cmake/tamrin/tamrin-(config|config-version|targets|targets-[a-z]+)\\.cmake$")
if(installed)
  message(FATAL_ERROR "cmake --install --component dev installed more than the library: ${installed}")
endif()

run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/package/consumer -B ${WORK_DIR}/build
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=${CXX}
    -DCMAKE_PREFIX_PATH=${prefix} -DTAMRIN_VERSION=${VERSION})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/consumer)
