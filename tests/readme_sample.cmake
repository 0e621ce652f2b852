# SPDX-License-Identifier: MIT
# Checks that the README's sample report is what the program prints:
#   cmake -DREADME=README.md -DSOURCE_DIR=... -DPROGRAM=... [-DEMULATOR=...]
#         -DWORK_DIR=... [-DSTALE=ON] -P readme_sample.cmake
# The fenced block after the line "<!-- sample-report -->" starts with the
# command, "$ build/release/lexspot ...", and goes on with its output. The
# command is run by sh from SOURCE_DIR, as a reader runs it from the top of
# the tree, with PROGRAM (under EMULATOR, if any) in place of
# build/release/lexspot; its standard output must equal the rest of the block
# byte for byte, and it must succeed without a word on standard error. A
# difference is shown with diff -u, the README's block against the output,
# both left in WORK_DIR. STALE=ON drops the block's last line before the
# comparison, as a stale README would, to show that the check then fails.
cmake_minimum_required(VERSION 3.25)

set(marker "<!-- sample-report -->")

file(READ "${README}" readme)
string(FIND "${readme}" "\n${marker}\n" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${README} has no line \"${marker}\" before the sample report")
endif()
string(LENGTH "\n${marker}\n" length)
math(EXPR at "${at} + ${length}")
string(SUBSTRING "${readme}" ${at} -1 rest)
# The opening fence, then the block up to the line that closes it.
if(NOT rest MATCHES "^```[^\n]*\n")
  message(FATAL_ERROR "${README}: \"${marker}\" is not followed by a fenced block")
endif()
string(LENGTH "${CMAKE_MATCH_0}" length)
string(SUBSTRING "${rest}" ${length} -1 rest)
string(FIND "${rest}" "\n```" end)
if(end EQUAL -1)
  message(FATAL_ERROR "${README}: the sample report's block is not closed")
endif()
math(EXPR end "${end} + 1")
string(SUBSTRING "${rest}" 0 ${end} block)

# The command line, then what it prints.
string(FIND "${block}" "\n" newline)
string(SUBSTRING "${block}" 0 ${newline} command)
math(EXPR newline "${newline} + 1")
string(SUBSTRING "${block}" ${newline} -1 expected)
if(NOT command MATCHES "^\\$ build/release/lexspot( .*)?$")
  message(FATAL_ERROR "${README}: the sample report's block starts with \"${command}\", "
    "not with \"$ build/release/lexspot\"")
endif()
set(arguments "${CMAKE_MATCH_1}")
string(SUBSTRING "${command}" 2 -1 command)
if(expected STREQUAL "")
  message(FATAL_ERROR "${README}: the sample report's block shows no output after its command")
endif()
if(STALE)
  string(REGEX REPLACE "[^\n]*\n$" "" expected "${expected}")
endif()

list(JOIN EMULATOR " " emulator)
execute_process(COMMAND sh -c "${emulator} '${PROGRAM}'${arguments}"
  WORKING_DIRECTORY "${SOURCE_DIR}"
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT err STREQUAL "")
  message(FATAL_ERROR "`${command}`, run in ${SOURCE_DIR}, exited with status ${status}, "
    "standard error:\n${err}")
endif()
if(out STREQUAL expected)
  return()
endif()

set(name readme_sample)
if(STALE)
  set(name readme_sample_stale)
endif()
set(readme_file "${WORK_DIR}/${name}.readme")
set(out_file "${WORK_DIR}/${name}.out")
file(WRITE "${readme_file}" "${expected}")
file(WRITE "${out_file}" "${out}")
find_program(DIFF_PROGRAM diff)
if(DIFF_PROGRAM)
  execute_process(COMMAND "${DIFF_PROGRAM}" -u "${readme_file}" "${out_file}" OUTPUT_VARIABLE diff)
else()
  set(diff "the README's block:\n${expected}the output:\n${out}")
endif()
# The difference as it is: FATAL_ERROR would rewrap and indent its lines.
message(NOTICE "The sample report in ${README} is not what `${command}` prints, run in "
  "${SOURCE_DIR} (- the README, + the output):\n${diff}")
message(FATAL_ERROR "${README}: stale sample report. Replace the block's report with "
  "${out_file}, or give the block a command whose output it shows.")
