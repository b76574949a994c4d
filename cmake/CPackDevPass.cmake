# Run by CPack after the kestrow package: makes libcorvel-dev beside it.
message(STATUS "CPack: making libcorvel-dev")
execute_process(COMMAND ${CPACK_KESTROW_CPACK} --config ${CPACK_KESTROW_DEV_CONFIG} -B ${CPACK_PACKAGE_DIRECTORY}
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "CPack could not make libcorvel-dev")
endif()
