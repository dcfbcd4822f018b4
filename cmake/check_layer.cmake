# Run at build time for one folder of quen/: fails when a header or source
# there includes a header of a folder that is not below it.
# -DFOLDER=<dir> -DLAYER=<name> -DALLOWED=<names;...> -DSTAMP=<file>
cmake_minimum_required(VERSION 3.20)
file(GLOB files "${FOLDER}/*.h" "${FOLDER}/*.cpp")
set(bad "")
foreach(f IN LISTS files)
  file(STRINGS "${f}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"quen/")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE ".*\"quen/([^/\"]+)/.*" "\\1" used "${line}")
    if(used STREQUAL line)  # a header of quen/ itself, not of a folder
      set(used "quen")
    endif()
    if(NOT used STREQUAL LAYER AND NOT used IN_LIST ALLOWED)
      string(APPEND bad "\n  ${f}: ${line}")
    endif()
  endforeach()
endforeach()
if(bad)
  message(FATAL_ERROR "quen/${LAYER} may use only: ${ALLOWED}; it includes from above:${bad}")
endif()
file(TOUCH "${STAMP}")
