# Fails when a library source includes a header of a higher layer, or a public header
# includes anything but the standard library and other public headers.
#   cmake -DSOURCE_DIR=<project root> -P cmake/check_layers.cmake
#
# The layers, lowest first (docs/architecture.md). A folder may include its own headers and
# those of any lower layer; the folders of one layer are independent of each other.
set(layer_common 0)
set(layer_event/json 1)
set(layer_event 2)
set(layer_queue 3)
set(layer_transport 4)
set(layer_net 5)
set(layer_delivery 5)
set(layer_crash 5)
set(layer_settings 5)
set(layer_facade 6)

if(NOT SOURCE_DIR)
  message(FATAL_ERROR "SOURCE_DIR is not set")
endif()

# The folder of a path below src/ ("event/json" for "event/json/x.cpp", "event" for
# "event/x.cpp").
function(folder_of path out)
  if(path MATCHES "^event/json/")
    set(${out} "event/json" PARENT_SCOPE)
  elseif(path MATCHES "^([a-z_]+)/")
    set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
endfunction()

set(violations "")
file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR}/src ${SOURCE_DIR}/src/*.cpp ${SOURCE_DIR}/src/*.hpp)
foreach(source ${sources})
  folder_of(${source} from)
  if(NOT DEFINED layer_${from})
    list(APPEND violations "src/${source}: folder '${from}' has no layer (add it to the table)")
    continue()
  endif()
  file(STRINGS ${SOURCE_DIR}/src/${source} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line ${lines})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" included "${line}")
    if(included MATCHES "^zeplog/")
      continue()  # the public headers sit below every layer
    endif()
    folder_of(${included} to)
    if(NOT DEFINED layer_${to})
      list(APPEND violations "src/${source}: \"${included}\" is in no layer")
    elseif(NOT to STREQUAL from AND NOT layer_${to} LESS layer_${from})
      list(APPEND violations "src/${source} (${from}) includes \"${included}\" (${to}): up or across the layers")
    endif()
  endforeach()
endforeach()

file(GLOB public RELATIVE ${SOURCE_DIR}/include ${SOURCE_DIR}/include/zeplog/*)
foreach(header ${public})
  file(STRINGS ${SOURCE_DIR}/include/${header} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line ${lines})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" included "${line}")
    if(NOT included MATCHES "^zeplog/")
      list(APPEND violations "include/${header} includes the internal \"${included}\"")
    endif()
  endforeach()
endforeach()

if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "Includes against the layers:\n  ${text}")
endif()
list(LENGTH sources count)
message(STATUS "${count} library files checked: every include points down the layers")
