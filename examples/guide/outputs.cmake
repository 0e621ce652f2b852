# SPDX-License-Identifier: MIT
# Checks that the guide shows what its examples print:
#   cmake -DGUIDE=doc/guide.md -DEXAMPLES=examples/guide -DNAMES=a;b;... -P outputs.cmake
# NAMES lists the examples, and every <name>.cpp in EXAMPLES must be among
# them, so that none is left unchecked. Each <name>.out in EXAMPLES, and
# <name>.err where there is one, must exist, hold something, and appear in
# the guide whole, as the contents of a fenced block of its own.
cmake_minimum_required(VERSION 3.25)

if(NOT NAMES)
  message(FATAL_ERROR "no examples named (-DNAMES=...)")
endif()
file(GLOB sources "${EXAMPLES}/*.cpp")
foreach(source ${sources})
  cmake_path(GET source STEM name)
  if(NOT name IN_LIST NAMES)
    message(SEND_ERROR "${source} is not among the examples checked: ${NAMES}")
  endif()
endforeach()
file(READ "${GUIDE}" guide)
foreach(name ${NAMES})
  set(outputs "${EXAMPLES}/${name}.out")
  if(EXISTS "${EXAMPLES}/${name}.err")
    list(APPEND outputs "${EXAMPLES}/${name}.err")
  endif()
  foreach(output ${outputs})
    if(NOT EXISTS "${output}")
      message(SEND_ERROR "example ${name} has no ${output}")
      continue()
    endif()
    file(READ "${output}" text)
    if(text STREQUAL "")
      message(SEND_ERROR "${output} is empty: an example prints something for the guide to show")
      continue()
    endif()
    string(FIND "${guide}" "\n```\n${text}```\n" at)
    if(at EQUAL -1)
      message(SEND_ERROR "${GUIDE} shows no block with the output of ${output}:\n${text}")
    endif()
  endforeach()
endforeach()
