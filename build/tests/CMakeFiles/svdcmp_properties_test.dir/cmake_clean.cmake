file(REMOVE_RECURSE
  "CMakeFiles/svdcmp_properties_test.dir/svdcmp_properties_test.cpp.o"
  "CMakeFiles/svdcmp_properties_test.dir/svdcmp_properties_test.cpp.o.d"
  "CMakeFiles/svdcmp_properties_test.dir/test_support.cpp.o"
  "CMakeFiles/svdcmp_properties_test.dir/test_support.cpp.o.d"
  "svdcmp_properties_test"
  "svdcmp_properties_test.pdb"
  "svdcmp_properties_test[1]_tests.cmake"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/svdcmp_properties_test.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
