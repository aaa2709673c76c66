# SPDX-License-Identifier: BSD-3-Clause
# Cross build for 64-bit ARM Linux with Clang (the compiler of macOS on Apple
# silicon) and the headers and libraries of Debian's aarch64-linux-gnu GCC;
# tests run under qemu-aarch64:
#   cmake -S . -B build-arm64-clang --toolchain cmake/toolchains/aarch64-linux-gnu-clang.cmake
include(${CMAKE_CURRENT_LIST_DIR}/aarch64-linux-gnu.cmake)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${TAMRIN_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${TAMRIN_TRIPLE})
