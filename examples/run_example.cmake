# cmake -DPROGRAM=<example> -DEXPECTED=<file> -P run_example.cmake
# Runs an example and compares what it prints with the expected text, line by line; a mismatch
# or a non-zero exit fails the test and shows both texts.
execute_process(COMMAND ${PROGRAM} OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
file(READ ${EXPECTED} expected)
if(NOT rc EQUAL 0 OR NOT out STREQUAL expected)
  message(FATAL_ERROR "${PROGRAM} exited with ${rc}\n--- printed:\n${out}${err}--- expected:\n${expected}")
endif()
