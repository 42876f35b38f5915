# The Windows programs, run under the emulator, make the same files and print the same reports
# as the native ones: the sweep file byte for byte (both with the same SOURCE_DATE_EPOCH), and
# edfinfo's report, JSON, check, samples, picture, de-identified copy and repaired copy of it.
# Arguments: EMULATOR, WINDOWS_DIR (sweep_generator.exe, inspector/edfinfo.exe), NATIVE_DIR
# (the same programs built for this machine), WORK_DIR.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/windows ${WORK_DIR}/native)
set(ENV{SOURCE_DATE_EPOCH} 1700000000)

function(run side)
  if(side STREQUAL "windows")
    set(command ${EMULATOR} ${WINDOWS_DIR}/${ARGV1}.exe)
  else()
    set(command ${NATIVE_DIR}/${ARGV1})
  endif()
  set(arguments "")
  if(ARGC GREATER 2)
    list(SUBLIST ARGV 2 -1 arguments)
  endif()
  execute_process(COMMAND ${command} ${arguments} WORKING_DIRECTORY ${WORK_DIR}/${side}
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE result)
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
  set(result "${result}" PARENT_SCOPE)
endfunction()

function(same_file name)
  file(SHA256 ${WORK_DIR}/windows/${name} windows_hash)
  file(SHA256 ${WORK_DIR}/native/${name} native_hash)
  if(NOT windows_hash STREQUAL native_hash)
    message(FATAL_ERROR "${name} differs between the Windows and the native program")
  endif()
endfunction()

foreach(side windows native)
  run(${side} sweep_generator)
  if(result)
    message(FATAL_ERROR "sweep_generator (${side}) failed: ${err}")
  endif()
endforeach()
same_file(freq_sweep.edf)

# name:arguments, the arguments separated by "|".
set(reports "report:freq_sweep.edf" "json:--json|freq_sweep.edf" "check:--check|freq_sweep.edf"
    "samples:--samples|0|--from|100|--to|100.05|freq_sweep.edf"
    "plot:--plot|0|--svg|plot.svg|--from|10|--to|11|freq_sweep.edf"
    "anonymize:--anonymize|--output|anonymized.edf|freq_sweep.edf"
    "repair:--repair|repaired.edf|freq_sweep.edf")
foreach(entry ${reports})
  string(REGEX REPLACE ":.*" "" name "${entry}")
  string(REGEX REPLACE "^[^:]*:" "" arguments "${entry}")
  string(REPLACE "|" ";" arguments "${arguments}")
  foreach(side windows native)
    run(${side} inspector/edfinfo ${arguments})
    set(${side}_out "${out}")
    set(${side}_result "${result}")
    file(WRITE ${WORK_DIR}/${side}/${name}.out "${out}")
  endforeach()
  if(NOT windows_result STREQUAL native_result OR NOT windows_out STREQUAL native_out)
    message(FATAL_ERROR "edfinfo ${arguments}: the Windows program printed (exit ${windows_result})\n"
            "${windows_out}\nthe native one (exit ${native_result})\n${native_out}")
  endif()
endforeach()
same_file(plot.svg)
same_file(anonymized.edf)
same_file(repaired.edf)
message(STATUS "the same sweep file, reports and copies from both")
