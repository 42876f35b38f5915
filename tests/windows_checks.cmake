# The checks of a Windows build: recording.dll exports exactly the functions of the header (its
# export table against the EDF_API declarations), the installed CMake package builds a MinGW
# consumer of the static library and one of the DLL, both run under the emulator, and (given
# RECORDING_NATIVE_PROGRAMS, a folder with this machine's own sweep_generator and
# inspector/edfinfo) the Windows programs make the same files and reports as the native ones.
add_test(NAME dll_exports
         COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP}
                 -DLIBRARY=$<TARGET_FILE:recording_dll>
                 -DHEADER=${PROJECT_SOURCE_DIR}/recording/edf.h
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/dll_exports.cmake)
add_test(NAME install_and_consume
         COMMAND ${CMAKE_COMMAND}
                 -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
                 -DBINARY_DIR=${PROJECT_BINARY_DIR}
                 -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/consumer
                 -DC_COMPILER=${CMAKE_C_COMPILER}
                 -DEXPECTED_VERSION=${PROJECT_VERSION}
                 -DTOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
                 "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}"
                 -DPROGRAM_SUFFIX=.exe
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/consumer/run_consumer.cmake)
set(RECORDING_NATIVE_PROGRAMS "" CACHE PATH
    "A native build of the project, to compare the Windows programs' output with")
if(RECORDING_NATIVE_PROGRAMS AND TARGET edfinfo)
  add_test(NAME same_output_as_native
           COMMAND ${CMAKE_COMMAND} "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}"
                   -DWINDOWS_DIR=${PROJECT_BINARY_DIR}
                   -DNATIVE_DIR=${RECORDING_NATIVE_PROGRAMS}
                   -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/same_output
                   -P ${CMAKE_CURRENT_SOURCE_DIR}/same_output.cmake)
endif()
