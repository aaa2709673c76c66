# SPDX-License-Identifier: BSD-3-Clause
# Native build with Clang and LLVM's C++ library, libc++: the compiler and
# library of macOS, on this machine:
#   cmake -S . -B build-clang --toolchain cmake/toolchains/clang-libc++.cmake
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_FLAGS_INIT "-stdlib=libc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-stdlib=libc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-stdlib=libc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-stdlib=libc++")

# Debian's GoogleTest and Google Benchmark libraries are built against
# libstdc++: GoogleTest is built from its sources instead, and the benchmarks
# are left out.
set(TAMRIN_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
set(TAMRIN_BUILD_BENCH OFF CACHE BOOL "Build the benchmarks")
