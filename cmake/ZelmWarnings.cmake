# Warning flags, set on each target of this tree rather than for the whole
# build: -Wall -Wextra (and -Werror with ZELM_WARNINGS_AS_ERRORS) everywhere;
# the shipped code (everything outside tests/ and bench/) is also held to
# implicit conversions that change a value or its sign. The tests and the
# benchmark, written against third-party macros, are not.

# The buildsystem targets of `dir` and of every directory below it.
function(zelm_targets_below dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    zelm_targets_below(${subdir} below)
    list(APPEND targets ${below})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

# Call once, at the end of the top-level CMakeLists.txt, when every target exists.
function(zelm_set_warnings)
  zelm_targets_below(${PROJECT_SOURCE_DIR} targets)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(NOT type MATCHES "^(STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY|EXECUTABLE)$")
      continue()
    endif()
    target_compile_options(${target} PRIVATE -Wall -Wextra $<$<BOOL:${ZELM_WARNINGS_AS_ERRORS}>:-Werror>)
    get_target_property(dir ${target} SOURCE_DIR)
    file(RELATIVE_PATH where ${PROJECT_SOURCE_DIR} ${dir})
    if(NOT where MATCHES "^(tests|bench)(/|$)")
      target_compile_options(${target} PRIVATE -Wconversion -Wsign-conversion)
    endif()
  endforeach()
endfunction()
