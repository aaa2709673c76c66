# Empty dependencies file for svdcmp_test.
# This may be replaced when dependencies are built.
