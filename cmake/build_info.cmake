# Writes the source file that tells what a build is: the program version
# and the git commit of the sources, read at each build so that a build
# after a new commit says so. Only a changed text is written, so an
# unchanged commit recompiles nothing. Outside a git checkout, or without
# git, the commit is "unknown"; a checkout with changes that are not
# committed adds "-dirty".
#
#   cmake -DSOURCE_DIR=... -DOUTPUT=... -DVERSION=... -P build_info.cmake
set(commit unknown)
find_program(GIT_COMMAND git)
if(GIT_COMMAND)
  execute_process(COMMAND ${GIT_COMMAND} -C ${SOURCE_DIR} rev-parse --short=12 HEAD
    RESULT_VARIABLE rc OUTPUT_VARIABLE head OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(rc EQUAL 0 AND head MATCHES "^[0-9a-f]+$")
    set(commit ${head})
    execute_process(COMMAND ${GIT_COMMAND} -C ${SOURCE_DIR} status --porcelain --untracked-files=no
      RESULT_VARIABLE rc OUTPUT_VARIABLE changes ERROR_QUIET)
    if(rc EQUAL 0 AND NOT changes STREQUAL "")
      string(APPEND commit "-dirty")
    endif()
  endif()
endif()

set(text "// Written by cmake/build_info.cmake at build time.
#include \"config/build_info.h\"

namespace config {

const char kProgramVersion[] = \"${VERSION}\";
const char kBuildCommit[] = \"${commit}\";

}  // namespace config
")
set(old "")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} old)
endif()
if(NOT old STREQUAL text)
  file(WRITE ${OUTPUT} "${text}")
endif()
