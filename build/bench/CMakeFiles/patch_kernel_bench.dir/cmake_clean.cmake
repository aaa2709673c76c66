file(REMOVE_RECURSE
  "CMakeFiles/patch_kernel_bench.dir/__/tests/test_support.cpp.o"
  "CMakeFiles/patch_kernel_bench.dir/__/tests/test_support.cpp.o.d"
  "CMakeFiles/patch_kernel_bench.dir/patch_kernel_bench.cpp.o"
  "CMakeFiles/patch_kernel_bench.dir/patch_kernel_bench.cpp.o.d"
  "patch_kernel_bench"
  "patch_kernel_bench.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/patch_kernel_bench.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
