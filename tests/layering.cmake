# Fails when a source file of one layer includes a header of a layer it
# must not know. Run as: cmake -DSOURCE_DIR=<repo>/src -P layering.cmake
#
#   text <- json <- framework <- middleware
#   text <- json <- serialize <- db
#   controllers: framework, db; app: everything.
cmake_minimum_required(VERSION 3.25)

set(allowed_text text)
set(allowed_json json text)
set(allowed_framework framework json text)
set(allowed_middleware middleware framework json text)
set(allowed_serialize serialize json text)
set(allowed_db db serialize json text)
set(allowed_controllers controllers framework db serialize json text)
set(allowed_app app controllers middleware framework db serialize json text)
set(layers text json framework middleware serialize db controllers app)

set(faults "")
foreach(layer IN LISTS layers)
  file(GLOB_RECURSE files ${SOURCE_DIR}/${layer}/*.h ${SOURCE_DIR}/${layer}/*.cc)
  foreach(file IN LISTS files)
    file(STRINGS ${file} lines REGEX "^#include \"[a-z_]+/")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^#include \"([a-z_]+)/.*" "\\1" used "${line}")
      if(NOT used IN_LIST layers)
        continue()
      endif()
      if(NOT used IN_LIST allowed_${layer})
        file(RELATIVE_PATH where ${SOURCE_DIR} ${file})
        string(APPEND faults "  ${where}: ${line} (${layer} may use: "
               "${allowed_${layer}})\n")
      endif()
    endforeach()
  endforeach()
endforeach()

if(faults)
  message(FATAL_ERROR "Includes against the layering:\n${faults}")
endif()
