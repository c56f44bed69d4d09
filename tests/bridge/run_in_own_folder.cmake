# Runs PROGRAM from a new folder under WORK with the COMPANIONS files ('|'-separated) beside it,
# through EMULATOR when one is given, and removes the folder afterwards; fails when it fails.
string(REPLACE "|" ";" companions "${COMPANIONS}")
string(REPLACE "|" ";" emulator "${EMULATOR}")
string(RANDOM LENGTH 12 suffix)
set(folder "${WORK}/run-${suffix}")
file(MAKE_DIRECTORY "${folder}")
file(COPY "${PROGRAM}" ${companions} DESTINATION "${folder}")
get_filename_component(name "${PROGRAM}" NAME)
execute_process(COMMAND ${emulator} "${folder}/${name}" WORKING_DIRECTORY "${WORK}"
                RESULT_VARIABLE result)
file(REMOVE_RECURSE "${folder}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${name} failed: ${result}")
endif()
