# Compares the functions that a shared library exports with those that the public header
# declares with EDF_API. Arguments: NM, LIBRARY, HEADER.
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE listing RESULT_VARIABLE result)
if(result)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[0-9a-fA-F]+ [A-Za-z] [^\n]+" entries "${listing}")
set(exported "")
foreach(entry ${entries})
  string(REGEX REPLACE "^[0-9a-fA-F]+ [A-Za-z] " "" name "${entry}")
  list(APPEND exported ${name})
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/public_functions.cmake)
recording_check_exports("${exported}" ${HEADER} "the shared library")
