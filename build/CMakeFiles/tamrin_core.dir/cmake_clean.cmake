file(REMOVE_RECURSE
  "CMakeFiles/tamrin_core.dir/driver/denoise_volume.cpp.o"
  "CMakeFiles/tamrin_core.dir/driver/denoise_volume.cpp.o.d"
  "CMakeFiles/tamrin_core.dir/gateway/host_services.cpp.o"
  "CMakeFiles/tamrin_core.dir/gateway/host_services.cpp.o.d"
  "CMakeFiles/tamrin_core.dir/gateway/kernel_alloc.cpp.o"
  "CMakeFiles/tamrin_core.dir/gateway/kernel_alloc.cpp.o.d"
  "CMakeFiles/tamrin_core.dir/linalg/center_and_decompose.cpp.o"
  "CMakeFiles/tamrin_core.dir/linalg/center_and_decompose.cpp.o.d"
  "CMakeFiles/tamrin_core.dir/linalg/decompose_patch.cpp.o"
  "CMakeFiles/tamrin_core.dir/linalg/decompose_patch.cpp.o.d"
  "CMakeFiles/tamrin_core.dir/linalg/rebuild_patch.cpp.o"
  "CMakeFiles/tamrin_core.dir/linalg/rebuild_patch.cpp.o.d"
  "CMakeFiles/tamrin_core.dir/linalg/safe_hypot.cpp.o"
  "CMakeFiles/tamrin_core.dir/linalg/safe_hypot.cpp.o.d"
  "CMakeFiles/tamrin_core.dir/linalg/svdcmp.cpp.o"
  "CMakeFiles/tamrin_core.dir/linalg/svdcmp.cpp.o.d"
  "CMakeFiles/tamrin_core.dir/patch/denoise_worker.cpp.o"
  "CMakeFiles/tamrin_core.dir/patch/denoise_worker.cpp.o.d"
  "CMakeFiles/tamrin_core.dir/patch/noise_estimate.cpp.o"
  "CMakeFiles/tamrin_core.dir/patch/noise_estimate.cpp.o.d"
  "CMakeFiles/tamrin_core.dir/patch/select_components.cpp.o"
  "CMakeFiles/tamrin_core.dir/patch/select_components.cpp.o.d"
  "libtamrin_core.a"
  "libtamrin_core.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/tamrin_core.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
