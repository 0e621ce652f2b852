# SPDX-License-Identifier: MIT
# Runs one example of the guide and compares what it did with what the guide
# says it does:
#   cmake -DPROGRAM=... -DEXPECTED=x.out [-DEXPECTED_ERR=x.err] [-DEMULATOR=...] -P check.cmake
# Standard output must equal EXPECTED byte for byte. Without EXPECTED_ERR the
# program must exit with status 0 and write nothing on standard error. With
# it, the program must be killed by SIGABRT (it ends in abort) and its
# standard error must equal EXPECTED_ERR. Under an emulator, the program's
# SIGABRT kills qemu-user with the same signal, after qemu has added a line
# of its own to standard error ("qemu: uncaught target signal 6 (Aborted) -
# core dumped"), which is left out of the comparison.
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
  if(EMULATOR)
    string(REGEX REPLACE "qemu: uncaught target signal [0-9]+ \\([^)\n]*\\)[^\n]*\n$" "" err "${err}")
  endif()
  # The status of a process killed by a signal is a text, not a number:
  # "Subprocess aborted" for SIGABRT (CMake 3.25; "Child aborted" from the
  # process library of older versions); other signals give other texts.
  if(NOT status MATCHES "^(Subprocess|Child) aborted$")
    message(FATAL_ERROR "expected the end by SIGABRT (abort); status ${status}, "
      "standard error:\n---\n${err}---")
  endif()
  if(NOT err STREQUAL expected_err)
    message(FATAL_ERROR "standard error differs from ${EXPECTED_ERR}:\n---\n${err}---\n"
      "expected:\n---\n${expected_err}---")
  endif()
elseif(NOT status EQUAL 0 OR NOT err STREQUAL "")
  message(FATAL_ERROR "status ${status}, standard error:\n---\n${err}---")
endif()
