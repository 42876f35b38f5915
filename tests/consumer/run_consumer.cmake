# Installs the built library into WORK_DIR/prefix, then configures, builds and runs the
# consumer project against that prefix; then builds the C consumer again with a plain compiler
# call and the flags that pkg-config gives for the installed recording.pc, and runs it.
# In a cross-build (TOOLCHAIN_FILE given) the consumer is built with the same toolchain and
# run under EMULATOR, with the DLL's consumer among them, and pkg-config is not asked.
file(REMOVE_RECURSE ${WORK_DIR})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${WORK_DIR}/prefix
                RESULT_VARIABLE result)
if(result)
  message(FATAL_ERROR "install failed")
endif()
set(programs consumer_c consumer_cxx)
set(toolchain "")
if(TOOLCHAIN_FILE)
  # The toolchain file searches the target's root only: the package is named by its folder.
  file(GLOB_RECURSE config_files ${WORK_DIR}/prefix/recordingConfig.cmake)
  list(GET config_files 0 config_file)
  get_filename_component(config_dir ${config_file} DIRECTORY)
  set(toolchain -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE} -Drecording_DIR=${config_dir})
  list(APPEND programs consumer_dll)
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer -B ${WORK_DIR}/build
                        -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix ${toolchain}
                RESULT_VARIABLE result)
if(result)
  message(FATAL_ERROR "configuring the consumer failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/build RESULT_VARIABLE result)
if(result)
  message(FATAL_ERROR "building the consumer failed")
endif()
foreach(program ${programs})
  execute_process(COMMAND ${EMULATOR} ${WORK_DIR}/build/${program}${PROGRAM_SUFFIX}
                  WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE result)
  if(result)
    message(FATAL_ERROR "${program} failed")
  endif()
endforeach()
if(TOOLCHAIN_FILE)
  return()
endif()

# pkg-config, with the installed tree as its only search place.
set(ENV{PKG_CONFIG_LIBDIR} "")
file(GLOB_RECURSE pc_files ${WORK_DIR}/prefix/recording.pc)
list(LENGTH pc_files pc_count)
if(NOT pc_count EQUAL 1)
  message(FATAL_ERROR "recording.pc not installed (or more than once): ${pc_files}")
endif()
get_filename_component(pc_dir ${pc_files} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
execute_process(COMMAND pkg-config --modversion recording OUTPUT_VARIABLE version
                OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE result)
if(result OR NOT version STREQUAL EXPECTED_VERSION)
  message(FATAL_ERROR "pkg-config gives version '${version}', expected ${EXPECTED_VERSION}")
endif()
execute_process(COMMAND pkg-config --cflags --libs recording OUTPUT_VARIABLE flags
                OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE result)
if(result)
  message(FATAL_ERROR "pkg-config --cflags --libs recording failed")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
execute_process(COMMAND ${C_COMPILER} -std=c99 -Wall -Wextra -Wpedantic -Werror
                        ${SOURCE_DIR}/tests/consumer/consumer.c ${flags} -o consumer_pkgconfig
                WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE result)
if(result)
  message(FATAL_ERROR "building the consumer with pkg-config's flags failed: ${flags}")
endif()
execute_process(COMMAND ${WORK_DIR}/consumer_pkgconfig WORKING_DIRECTORY ${WORK_DIR}
                RESULT_VARIABLE result)
if(result)
  message(FATAL_ERROR "consumer_pkgconfig failed")
endif()
