# The real DLLs under Wine, natively or inside a small virtual machine where
# this machine cannot run 32-bit programs (tests/wine/batch.sh). One test,
# wine_batch, runs every job in one batch; then each job is a test of its
# own (tests/wine/result.sh): the cases of tests/wine/run_cases.sh and the
# import of nrvdry's .reg with Wine's registry editor. They need the cross
# build (dist/ and the harness programs in build/cross) and nrvdry, and fail
# with a one-line reason when Wine can run neither way.
set(NRV_WINE_ENV
  "NRV_DIST_DIR=${NRV_DIST_DIR}"
  "NRV_WINE_BIN=${CMAKE_SOURCE_DIR}/build/cross/tests/wine"
  "NRV_WINE_WORK=${CMAKE_BINARY_DIR}/wine-e2e"
  "NRV_NRVDRY=$<TARGET_FILE:nrvdry>")

# The first run on a machine without 32-bit support builds the machine's
# image (some five minutes) before the batch.
add_test(NAME wine_batch COMMAND bash "${CMAKE_CURRENT_LIST_DIR}/batch.sh")
set_tests_properties(wine_batch PROPERTIES
  ENVIRONMENT "${NRV_WINE_ENV}"
  TIMEOUT 4200
  LABELS wine)

# The cases as run_cases.sh lists them, then the imports (batch.sh lists
# the same jobs).
file(READ "${CMAKE_CURRENT_LIST_DIR}/run_cases.sh" nrv_cases_script)
string(REGEX MATCH "\nALL_CASES=[(]([^)]*)[)]" nrv_cases_match "${nrv_cases_script}")
string(REGEX REPLACE "[ \t\r\n]+" ";" nrv_cases "${CMAKE_MATCH_1}")
list(REMOVE_ITEM nrv_cases "")
if(NOT nrv_cases)
  message(FATAL_ERROR "no ALL_CASES list in tests/wine/run_cases.sh")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${CMAKE_CURRENT_LIST_DIR}/run_cases.sh")
foreach(nrv_job ${nrv_cases} regimport regimport_win98 regimport_nt40)
  add_test(NAME wine_${nrv_job} COMMAND bash "${CMAKE_CURRENT_LIST_DIR}/result.sh" ${nrv_job})
  set_tests_properties(wine_${nrv_job} PROPERTIES
    ENVIRONMENT "${NRV_WINE_ENV}"
    DEPENDS wine_batch
    TIMEOUT 60
    LABELS wine)
endforeach()

# How the virtual machine is booted and stopped, with a stand-in for QEMU.
add_test(NAME wine_vm_run COMMAND bash "${CMAKE_CURRENT_LIST_DIR}/vm_run_test.sh")
set_tests_properties(wine_vm_run PROPERTIES TIMEOUT 120 LABELS wine)
