# Empty dependencies file for patch_kernel_bench.
# This may be replaced when dependencies are built.
