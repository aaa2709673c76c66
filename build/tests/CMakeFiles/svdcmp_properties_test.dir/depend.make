# Empty dependencies file for svdcmp_properties_test.
# This may be replaced when dependencies are built.
