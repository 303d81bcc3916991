# `PROGRAM --version` prints exactly "EXPECTED\n" on standard output, nothing on standard error,
# and exits 0. Run by ctest as `cmake -DPROGRAM=... -DEXPECTED=... -P`.
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${PROGRAM} --version RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status STREQUAL "0" OR NOT out STREQUAL "${EXPECTED}\n" OR NOT err STREQUAL "")
  message(FATAL_ERROR "${PROGRAM} --version: status ${status}, expected \"${EXPECTED}\"\n"
    "stdout: [${out}]\nstderr: [${err}]")
endif()
