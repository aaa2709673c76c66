
# Consider dependencies only in project.
set(CMAKE_DEPENDS_IN_PROJECT_ONLY OFF)

# The set of languages for which implicit dependencies are needed:
set(CMAKE_DEPENDS_LANGUAGES
  )

# The set of dependency files which are needed:
set(CMAKE_DEPENDS_DEPENDENCY_FILES
  "/work/main/driver/denoise_volume.cpp" "CMakeFiles/tamrin_core.dir/driver/denoise_volume.cpp.o" "gcc" "CMakeFiles/tamrin_core.dir/driver/denoise_volume.cpp.o.d"
  "/work/main/gateway/host_services.cpp" "CMakeFiles/tamrin_core.dir/gateway/host_services.cpp.o" "gcc" "CMakeFiles/tamrin_core.dir/gateway/host_services.cpp.o.d"
  "/work/main/gateway/kernel_alloc.cpp" "CMakeFiles/tamrin_core.dir/gateway/kernel_alloc.cpp.o" "gcc" "CMakeFiles/tamrin_core.dir/gateway/kernel_alloc.cpp.o.d"
  "/work/main/linalg/center_and_decompose.cpp" "CMakeFiles/tamrin_core.dir/linalg/center_and_decompose.cpp.o" "gcc" "CMakeFiles/tamrin_core.dir/linalg/center_and_decompose.cpp.o.d"
  "/work/main/linalg/decompose_patch.cpp" "CMakeFiles/tamrin_core.dir/linalg/decompose_patch.cpp.o" "gcc" "CMakeFiles/tamrin_core.dir/linalg/decompose_patch.cpp.o.d"
  "/work/main/linalg/rebuild_patch.cpp" "CMakeFiles/tamrin_core.dir/linalg/rebuild_patch.cpp.o" "gcc" "CMakeFiles/tamrin_core.dir/linalg/rebuild_patch.cpp.o.d"
  "/work/main/linalg/safe_hypot.cpp" "CMakeFiles/tamrin_core.dir/linalg/safe_hypot.cpp.o" "gcc" "CMakeFiles/tamrin_core.dir/linalg/safe_hypot.cpp.o.d"
  "/work/main/linalg/svdcmp.cpp" "CMakeFiles/tamrin_core.dir/linalg/svdcmp.cpp.o" "gcc" "CMakeFiles/tamrin_core.dir/linalg/svdcmp.cpp.o.d"
  "/work/main/patch/denoise_worker.cpp" "CMakeFiles/tamrin_core.dir/patch/denoise_worker.cpp.o" "gcc" "CMakeFiles/tamrin_core.dir/patch/denoise_worker.cpp.o.d"
  "/work/main/patch/noise_estimate.cpp" "CMakeFiles/tamrin_core.dir/patch/noise_estimate.cpp.o" "gcc" "CMakeFiles/tamrin_core.dir/patch/noise_estimate.cpp.o.d"
  "/work/main/patch/select_components.cpp" "CMakeFiles/tamrin_core.dir/patch/select_components.cpp.o" "gcc" "CMakeFiles/tamrin_core.dir/patch/select_components.cpp.o.d"
  )

# Targets to which this target links.
set(CMAKE_TARGET_LINKED_INFO_FILES
  )

# Fortran module output directory.
set(CMAKE_Fortran_TARGET_MODULE_DIR "")
