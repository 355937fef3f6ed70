# Fails when one of FILES (a ;-separated list, passed as "|"-separated) maps a Qt library: the service, the
# tools and the plug-in's activity library must start without the toolkit.
string(REPLACE "|" ";" files "${FILES}")
foreach(file ${files})
  execute_process(COMMAND ldd "${file}" OUTPUT_VARIABLE mapped RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "ldd ${file} failed (${result})")
  endif()
  string(REGEX MATCHALL "libQt[0-9A-Za-z_]+" toolkit "${mapped}")
  if(toolkit)
    list(REMOVE_DUPLICATES toolkit)
    message(FATAL_ERROR "${file} maps ${toolkit}")
  endif()
  message(STATUS "${file}: no Qt library")
endforeach()

# The other way round for TOOLKIT_FILES (the companion libraries of windows and pages): they must map it,
# which also shows that the check above reads ldd's answer right.
string(REPLACE "|" ";" toolkit_files "${TOOLKIT_FILES}")
foreach(file ${toolkit_files})
  execute_process(COMMAND ldd "${file}" OUTPUT_VARIABLE mapped RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "ldd ${file} failed (${result})")
  endif()
  if(NOT mapped MATCHES "libQt6Widgets")
    message(FATAL_ERROR "${file} does not map the toolkit: the check cannot tell")
  endif()
  message(STATUS "${file}: maps the toolkit")
endforeach()
