# Runs a validator on FILE and fails on anything it objects to. desktop-file-validate
# prints nothing for a clean file; appstreamcli marks its findings E:, W:, I: or P:,
# of which errors and warnings count here.
execute_process(COMMAND ${TOOL} ${ARGS} ${FILE}
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
message("${output}")
if(NOT result EQUAL 0 OR output MATCHES "(^|\n)[EW]: |error:|warning:|hint:")
    message(FATAL_ERROR "${FILE} is not clean")
endif()
