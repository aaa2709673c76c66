file(REMOVE_RECURSE
  "CMakeFiles/patch_pca_test.dir/patch_pca_test.cpp.o"
  "CMakeFiles/patch_pca_test.dir/patch_pca_test.cpp.o.d"
  "CMakeFiles/patch_pca_test.dir/test_support.cpp.o"
  "CMakeFiles/patch_pca_test.dir/test_support.cpp.o.d"
  "patch_pca_test"
  "patch_pca_test.pdb"
  "patch_pca_test[1]_tests.cmake"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/patch_pca_test.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
