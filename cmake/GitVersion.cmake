# Run as a script on every build (cmake -P): writes OUTPUT, a header with the version and the
# commit of the source tree, and rewrites it only when the text changes, so an unchanged tree
# recompiles nothing.
#   -DSOURCE_DIR=... -DOUTPUT=... -DVERSION=x.y.z [-DGIT_COMMIT=text]
# GIT_COMMIT names the commit of a tree that is not a git checkout (a source archive); without
# it such a tree says "unknown".
set(commit "${GIT_COMMIT}")
if(NOT commit)
  execute_process(
    COMMAND git -C "${SOURCE_DIR}" describe --always --dirty --abbrev=12
    OUTPUT_VARIABLE commit RESULT_VARIABLE status
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT status EQUAL 0 OR commit STREQUAL "")
    set(commit "unknown")
  endif()
endif()
set(text "// Generated at build time by cmake/GitVersion.cmake.
#define VISTREC_VERSION \"${VERSION}\"
#define VISTREC_GIT_COMMIT \"${commit}\"
")
set(old "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
