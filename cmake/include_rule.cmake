# The layer rule for includes, run by every build: a file of the core includes no header of
# the reader, the writer or the file operations; the reader none of the writer or the
# operations; the writer none of the reader or the operations. Usage:
#   cmake -DSOURCE_DIR=<project> -P include_rule.cmake
set(forbidden_core reader writer operations)
set(forbidden_reader writer operations)
set(forbidden_writer reader operations)
set(broken "")
foreach(room core reader writer)
  file(GLOB files ${SOURCE_DIR}/recording/${room}/*.cpp ${SOURCE_DIR}/recording/${room}/*.h)
  foreach(file ${files})
    file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"recording/")
    foreach(line ${includes})
      foreach(other ${forbidden_${room}})
        if(line MATCHES "\"recording/${other}/")
          file(RELATIVE_PATH name ${SOURCE_DIR} ${file})
          string(APPEND broken "\n  ${name}: ${line}")
        endif()
      endforeach()
    endforeach()
  endforeach()
endforeach()
if(broken)
  message(FATAL_ERROR "headers included across the library's layers "
                      "(reader and writer meet only in the core):${broken}")
endif()
