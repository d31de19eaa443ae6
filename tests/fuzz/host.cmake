# Short runs of the fuzz targets (tests/fuzz/run.sh): clang builds the
# simulated Windows and both libraries with the sanitizers and coverage in
# a folder of its own, then runs a fixed number of inputs from the seed
# corpus and what the fuzzer makes of them. A longer run is the same script
# with a number of seconds. It needs clang and its runtime libraries
# (scripts/deps.sh test installs them).
add_test(NAME fuzz_machine_short
  COMMAND bash "${CMAKE_CURRENT_LIST_DIR}/run.sh" -runs=2000)
set_tests_properties(fuzz_machine_short PROPERTIES
  ENVIRONMENT "NRV_FUZZ_BUILD=${CMAKE_BINARY_DIR}/fuzz"
  TIMEOUT 900
  LABELS fuzz)

# The .reg reader and what nrvdry does with what it read, with a round trip.
add_test(NAME fuzz_regfile_short
  COMMAND bash "${CMAKE_CURRENT_LIST_DIR}/run.sh" --target=regfile -runs=3000)
set_tests_properties(fuzz_regfile_short PROPERTIES
  ENVIRONMENT "NRV_FUZZ_BUILD=${CMAKE_BINARY_DIR}/fuzz"
  TIMEOUT 900
  LABELS fuzz)
