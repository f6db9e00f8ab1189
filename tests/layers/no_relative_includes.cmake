# Fails when a source of a layer library includes through "..": such a path
# is found next to the including file, past the include views that keep each
# layer from seeing the layers above it.
# Usage: cmake -DSOURCE_DIR=<tree> -P no_relative_includes.cmake
if(NOT IS_DIRECTORY "${SOURCE_DIR}/engine")
  message(FATAL_ERROR "SOURCE_DIR must name the source tree, not \"${SOURCE_DIR}\"")
endif()
file(GLOB_RECURSE sources
  ${SOURCE_DIR}/engine/*.[ch]* ${SOURCE_DIR}/devices/*.[ch]* ${SOURCE_DIR}/config/*.[ch]*
  ${SOURCE_DIR}/playlist/*.[ch]* ${SOURCE_DIR}/service/*.[ch]* ${SOURCE_DIR}/web/*.[ch]*)
set(found "")
foreach(source IN LISTS sources)
  file(STRINGS ${source} lines REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<][^\">]*\\.\\./")
  foreach(line IN LISTS lines)
    string(APPEND found "${source}: ${line}\n")
  endforeach()
endforeach()
if(found)
  message(FATAL_ERROR "includes that step out of their folder:\n${found}")
endif()
message(STATUS "no include steps out of its folder (${SOURCE_DIR})")
