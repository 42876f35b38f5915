# Compares the functions that recording.dll exports (its export table, as objdump -p lists it)
# with those that the public header declares with EDF_API. Arguments: OBJDUMP, LIBRARY,
# HEADER.
execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY} OUTPUT_VARIABLE listing RESULT_VARIABLE result)
if(result)
  message(FATAL_ERROR "${OBJDUMP} failed on ${LIBRARY}")
endif()
# The name pointer table: lines of "[ordinal] name" after its heading.
string(FIND "${listing}" "[Ordinal/Name Pointer] Table" start)
if(start LESS 0)
  message(FATAL_ERROR "${LIBRARY} has no export table")
endif()
string(SUBSTRING "${listing}" ${start} -1 table)
string(REGEX MATCHALL "\n\t\\[ *[0-9]+\\] [^\n]+" entries "${table}")
set(exported "")
foreach(entry ${entries})
  string(REGEX REPLACE "^\n\t\\[ *[0-9]+\\] " "" name "${entry}")
  list(APPEND exported ${name})
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/public_functions.cmake)
recording_check_exports("${exported}" ${HEADER} "the DLL")
