# zelm_hide_symbols(<target>...): compiles the targets with hidden visibility,
# inline functions included, so that a shared library built from them exports
# only what is marked for export (the plug-in: its entry point).
function(zelm_hide_symbols)
  set_target_properties(${ARGN} PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
endfunction()
