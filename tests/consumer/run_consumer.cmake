# Installs the built library into WORK_DIR/prefix, then configures, builds and runs the
# consumer project against that prefix.
file(REMOVE_RECURSE ${WORK_DIR})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${WORK_DIR}/prefix
                RESULT_VARIABLE result)
if(result)
  message(FATAL_ERROR "install failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer -B ${WORK_DIR}/build
                        -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix
                RESULT_VARIABLE result)
if(result)
  message(FATAL_ERROR "configuring the consumer failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/build RESULT_VARIABLE result)
if(result)
  message(FATAL_ERROR "building the consumer failed")
endif()
foreach(program consumer_c consumer_cxx)
  execute_process(COMMAND ${WORK_DIR}/build/${program} WORKING_DIRECTORY ${WORK_DIR}
                  RESULT_VARIABLE result)
  if(result)
    message(FATAL_ERROR "${program} failed")
  endif()
endforeach()
