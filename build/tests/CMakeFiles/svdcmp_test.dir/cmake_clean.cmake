file(REMOVE_RECURSE
  "CMakeFiles/svdcmp_test.dir/svdcmp_test.cpp.o"
  "CMakeFiles/svdcmp_test.dir/svdcmp_test.cpp.o.d"
  "CMakeFiles/svdcmp_test.dir/test_support.cpp.o"
  "CMakeFiles/svdcmp_test.dir/test_support.cpp.o.d"
  "svdcmp_test"
  "svdcmp_test.pdb"
  "svdcmp_test[1]_tests.cmake"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/svdcmp_test.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
