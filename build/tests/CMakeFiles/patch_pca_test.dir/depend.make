# Empty dependencies file for patch_pca_test.
# This may be replaced when dependencies are built.
