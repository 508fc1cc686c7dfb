# cmake -DIN=fb2cols.1 -DOUT=<file> -DVERSION=<version> -DSOURCE=<checkout> -P manual.cmake
# The manual page with the version and the date of the commit it is built from: SOURCE_DATE_EPOCH when
# set (./build.sh dist sets it), else the commit's time from git, else 1980-01-01 (a tree without
# history). Run at every build, so a new commit dates it anew; the file is written only when it changes.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  find_package(Git QUIET)
  set(epoch 315532800)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} -C ${SOURCE} log -1 --format=%ct
      OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
    if(NOT failed AND commit_time MATCHES "^[0-9]+$")
      set(epoch ${commit_time})
    endif()
  endif()
  set(ENV{SOURCE_DATE_EPOCH} ${epoch})
endif()
# (TIMESTAMP takes SOURCE_DATE_EPOCH from the environment)
string(TIMESTAMP FB2COLS_DATE "%Y-%m-%d" UTC)
set(PROJECT_VERSION ${VERSION})
configure_file(${IN} ${OUT} @ONLY)
