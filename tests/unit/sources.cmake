# Unit tests of the Windows-free logic: built natively too (tests/native).
set(TOLVAR_PURE_TEST_NAMES
  mode_test
  setup_list_test
  tag_arg_test
  signature_format_test
  path_rules_test
  release_link_test
  retry_test
  utf8_test
  content_range_test
  relative_path_test
  zip_test
  held_rules_test
)
# Unit tests that need Windows (run under Wine).
set(TOLVAR_WIN_TEST_NAMES
  files_test
  local_appdata_test
  resources_test
  tree_test
  rmtree_test
  sinks_test
  start_process_test
)
list(TRANSFORM TOLVAR_PURE_TEST_NAMES REPLACE "(.+)" "${CMAKE_CURRENT_LIST_DIR}/\\1.cpp" OUTPUT_VARIABLE TOLVAR_PURE_TESTS)
list(TRANSFORM TOLVAR_WIN_TEST_NAMES REPLACE "(.+)" "${CMAKE_CURRENT_LIST_DIR}/\\1.cpp" OUTPUT_VARIABLE TOLVAR_WIN_TESTS)
