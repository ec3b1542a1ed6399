# Configures the project without choosing a Qt and fails unless the configure succeeds with Qt 5.
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${BINARY} -DBUILD_TESTING=OFF -UVURO_QT
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "configuring without VURO_QT failed:\n${output}${errors}")
endif()
if(NOT output MATCHES "Building with Qt 5\\.")
  message(FATAL_ERROR "configuring without VURO_QT did not choose Qt 5:\n${output}")
endif()
