# End-to-end runs of the real DLLs under Wine (tests/wine/run_cases.sh), one
# test per case. They need the cross build (dist/ and the harness programs
# in build/cross) and fail when it or Wine is missing. The setup test
# installs Wine when the machine has none and makes the template prefix
# that the cases copy.
set(NRV_WINE_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/run_cases.sh")
set(NRV_WINE_ENV
  "NRV_DIST_DIR=${NRV_DIST_DIR}"
  "NRV_WINE_BIN=${CMAKE_SOURCE_DIR}/build/cross/tests/wine"
  "NRV_WINE_WORK=${CMAKE_BINARY_DIR}/wine-e2e")

add_test(NAME wine_setup COMMAND bash "${NRV_WINE_SCRIPT}" --setup)
set_tests_properties(wine_setup PROPERTIES
  ENVIRONMENT "${NRV_WINE_ENV}"
  FIXTURES_SETUP wine_prefix
  TIMEOUT 1800
  LABELS wine)

foreach(nrv_case
    fresh_winxp fresh_win2k reinstall_winxp uninstall_then_create_winxp nt40 copies_winxp
    remove_held_winxp deploy_held_winxp win98 version_info)
  add_test(NAME wine_${nrv_case} COMMAND bash "${NRV_WINE_SCRIPT}" ${nrv_case})
  set_tests_properties(wine_${nrv_case} PROPERTIES
    ENVIRONMENT "${NRV_WINE_ENV}"
    FIXTURES_REQUIRED wine_prefix
    TIMEOUT 300
    LABELS wine)
endforeach()
