# Empty dependencies file for tamrin_core.
# This may be replaced when dependencies are built.
