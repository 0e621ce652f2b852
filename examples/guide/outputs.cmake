# SPDX-License-Identifier: MIT
# Checks that the guide shows what its examples print:
#   cmake -DGUIDE=doc/guide.md -DEXAMPLES=examples/guide -P outputs.cmake
# Every <name>.out and <name>.err of the examples must appear in the guide
# whole, as the contents of a fenced block of its own.
cmake_minimum_required(VERSION 3.25)

file(READ "${GUIDE}" guide)
file(GLOB outputs "${EXAMPLES}/*.out" "${EXAMPLES}/*.err")
foreach(output ${outputs})
  file(READ "${output}" text)
  if(text STREQUAL "")
    continue()
  endif()
  string(FIND "${guide}" "\n```\n${text}```\n" at)
  if(at EQUAL -1)
    message(SEND_ERROR "${GUIDE} shows no block with the output of ${output}:\n${text}")
  endif()
endforeach()
