# Unit tests of the Windows-free logic: built natively too (tests/native).
set(TOLVAR_PURE_TEST_NAMES
  mode_test
  setup_list_test
  tag_arg_test
  path_rules_test
  release_link_test
  retry_test
)
# Unit tests that need Windows (run under Wine).
set(TOLVAR_WIN_TEST_NAMES
  files_test
  resources_test
  tree_test
  rmtree_test
  sinks_test
)
set(TOLVAR_PURE_TESTS)
foreach(name IN LISTS TOLVAR_PURE_TEST_NAMES)
  if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/${name}.cpp)
    list(APPEND TOLVAR_PURE_TESTS ${CMAKE_CURRENT_LIST_DIR}/${name}.cpp)
  endif()
endforeach()
set(TOLVAR_WIN_TESTS)
foreach(name IN LISTS TOLVAR_WIN_TEST_NAMES)
  if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/${name}.cpp)
    list(APPEND TOLVAR_WIN_TESTS ${CMAKE_CURRENT_LIST_DIR}/${name}.cpp)
  endif()
endforeach()
