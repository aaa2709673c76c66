# CMake generated Testfile for 
# Source directory: /work/main/tests
# Build directory: /work/main/build/tests
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
include("/work/main/build/tests/svdcmp_test[1]_include.cmake")
include("/work/main/build/tests/svdcmp_properties_test[1]_include.cmake")
include("/work/main/build/tests/patch_pca_test[1]_include.cmake")
include("/work/main/build/tests/noise_estimate_test[1]_include.cmake")
