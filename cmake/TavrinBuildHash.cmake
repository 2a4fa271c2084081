# Script (cmake -P): writes OUTPUT, a header that defines kTavrinBuildHash as
# the first eight hexadecimal digits of the commit SOURCE_DIR is at, or
# "00000000" when that is not known (no git, not a repository). The file is
# rewritten only when its text changes, so an unchanged hash rebuilds nothing.
#   -DGIT_EXECUTABLE=<git or empty> -DSOURCE_DIR=<dir> -DOUTPUT=<header>

set(hash "00000000")
if(GIT_EXECUTABLE)
  execute_process(
    COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" rev-parse HEAD
    OUTPUT_VARIABLE head
    RESULT_VARIABLE result
    OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET)
  if(result EQUAL 0 AND head MATCHES "^[0-9a-f]+$")
    string(LENGTH "${head}" length)
    if(length GREATER_EQUAL 8)
      string(SUBSTRING "${head}" 0 8 hash)
    endif()
  endif()
endif()

set(text "#pragma once\n// Written by the build: the source revision of this build.\nconstexpr const char kTavrinBuildHash[] = \"${hash}\";\n")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
else()
  set(old "")
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
