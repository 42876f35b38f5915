# Checks that the static library defines no external symbol outside the library's namespace
# but the functions that the public header declares. Allowed besides those: anything in
# namespace edf (with its vtables, type information, guard variables and thunks), instances
# from the standard library (std, __gnu_cxx) and what the compiler makes of its own (DW.ref.*).
# The names are read in their mangled form, which tells a namespace apart from a return
# type or a template argument. Arguments: NM, LIBRARY, HEADER.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/public_functions.cmake)
recording_public_functions(${HEADER} public)

execute_process(COMMAND ${NM} --defined-only ${LIBRARY}
                OUTPUT_VARIABLE listing RESULT_VARIABLE result)
if(result)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
# External symbols only: the upper-case types and u (unique global); U is excluded by
# --defined-only.
string(REGEX MATCHALL "[0-9a-fA-F]+ [A-Zu] [^\n]+" entries "${listing}")

set(outside "")
set(checked 0)
foreach(entry ${entries})
  string(REGEX REPLACE "^[0-9a-fA-F]+ [A-Zu] " "" name "${entry}")
  math(EXPR checked "${checked} + 1")
  set(rest "${name}")
  # AddressSanitizer's indicator of a global carries the global's own name.
  string(REGEX REPLACE "^__odr_asan(_gen_|\\.)" "" rest "${rest}")
  if(NOT rest MATCHES "^_Z")
    if(NOT rest IN_LIST public AND NOT rest MATCHES "^DW\\.ref\\.")
      list(APPEND outside ${name})
    endif()
    continue()
  endif()
  string(REGEX REPLACE "^_Z" "" rest "${rest}")
  # The standard placement forms of operator new and delete, which an unoptimised build keeps
  # as weak symbols (never the replaceable forms, which a library must not define).
  if(rest MATCHES "^(nw|na)mPv$" OR rest MATCHES "^(dl|da)PvS_$")
    continue()
  endif()
  # Vtables, VTTs, type information and its name, guard variables, thread-local wrappers and
  # thunks all name the entity that they belong to.
  string(REGEX REPLACE "^(T[VTISWH]|GV|Thn?[0-9]+_|Tvn?[0-9]+_n?[0-9]+_)" "" rest "${rest}")
  # An entity local to a function belongs where the function does.
  if(rest MATCHES "^Z")
    string(SUBSTRING "${rest}" 1 -1 rest)
    if(rest MATCHES "^([0-9]+)")
      string(LENGTH "${CMAKE_MATCH_1}" digits)
      string(SUBSTRING "${rest}" ${digits} ${CMAKE_MATCH_1} function)
      if(function IN_LIST public)
        continue()
      endif()
    endif()
  endif()
  if(NOT rest MATCHES "^N[rVK]*[RO]?(3edf|St|S[absiod]|9__gnu_cxx)" AND
     NOT rest MATCHES "^(St|S[absiod])")
    list(APPEND outside ${name})
  endif()
endforeach()

if(checked LESS 50)
  message(FATAL_ERROR "found only ${checked} external symbols in ${LIBRARY}")
endif()
if(outside)
  list(REMOVE_DUPLICATES outside)
  list(JOIN outside "\n" listed)
  find_program(CXXFILT c++filt)
  if(CXXFILT)
    execute_process(COMMAND ${CXXFILT} ${outside} OUTPUT_VARIABLE listed)
  endif()
  message(FATAL_ERROR "defined outside namespace edf and not declared in ${HEADER}:\n${listed}")
endif()
message(STATUS "${checked} external symbols, each in namespace edf or a function of the header")
