# Empty dependencies file for noise_estimate_test.
# This may be replaced when dependencies are built.
