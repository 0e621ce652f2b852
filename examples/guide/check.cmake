# SPDX-License-Identifier: MIT
# Runs one example of the guide and compares what it did with what the guide
# says it does:
#   cmake -DPROGRAM=... -DEXPECTED=x.out [-DEXPECTED_ERR=x.err] [-DEMULATOR=...] -P check.cmake
# Standard output must equal EXPECTED byte for byte. Without EXPECTED_ERR the
# program must exit with status 0 and write nothing on standard error. With
# it, the program must end abnormally (abort) and its standard error must
# start with EXPECTED_ERR: an emulator may add its own line about the signal
# after the program's report.
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${EMULATOR} "${PROGRAM}"
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
file(READ "${EXPECTED}" expected_out)
if(NOT out STREQUAL expected_out)
  message(FATAL_ERROR "standard output differs from ${EXPECTED}:\n---\n${out}---\n"
    "expected:\n---\n${expected_out}---")
endif()
if(DEFINED EXPECTED_ERR)
  file(READ "${EXPECTED_ERR}" expected_err)
  string(LENGTH "${expected_err}" length)
  string(SUBSTRING "${err}" 0 ${length} err_start)
  if(status EQUAL 0 OR NOT err_start STREQUAL expected_err)
    message(FATAL_ERROR "expected an abnormal end after the report in ${EXPECTED_ERR}; "
      "status ${status}, standard error:\n---\n${err}---")
  endif()
elseif(NOT status EQUAL 0 OR NOT err STREQUAL "")
  message(FATAL_ERROR "status ${status}, standard error:\n---\n${err}---")
endif()
