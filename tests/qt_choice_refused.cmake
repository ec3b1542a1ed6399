# Configures the project with a Qt major version it does not take and fails unless the configure
# stops with the one message that names the values it takes.
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${BINARY} -DBUILD_TESTING=OFF -DVURO_QT=7
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
if(status EQUAL 0)
  message(FATAL_ERROR "configuring with VURO_QT=7 succeeded:\n${output}")
endif()
if(NOT errors MATCHES "VURO_QT is '7': it takes 5, 6 or nothing" OR output MATCHES "Building with Qt")
  message(FATAL_ERROR "configuring with VURO_QT=7 failed without the one clear message:\n${output}${errors}")
endif()
