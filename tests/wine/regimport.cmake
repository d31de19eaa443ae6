# The .reg file that nrvdry writes for an install, imported into a fresh
# Wine prefix by Wine's registry editor (tests/wine/regimport.sh). Needs
# Wine; it makes its own prefix.
if(TARGET nrvdry)
  add_test(NAME wine_regimport
    COMMAND bash "${CMAKE_CURRENT_LIST_DIR}/regimport.sh" "$<TARGET_FILE:nrvdry>")
  set_tests_properties(wine_regimport PROPERTIES LABELS wine TIMEOUT 300)
endif()
