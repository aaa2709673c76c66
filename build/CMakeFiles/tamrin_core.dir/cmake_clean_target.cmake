file(REMOVE_RECURSE
  "libtamrin_core.a"
)
