# The Windows build's tests, run under Wine. Every Wine process start costs a second or two, so
# each test program is one CTest test, and all of them share one Wine prefix and one display,
# one at a time.
set(WINDOWS_TESTS ${CMAKE_CURRENT_LIST_DIR})

# The toolchain file names Wine as the emulator: ctest runs the .exe through it.
add_test(NAME windows_unit_tests COMMAND unit_tests --gtest_brief=1)

add_test(NAME windows_resources
  COMMAND ${Python3_EXECUTABLE} ${WINDOWS_TESTS}/test_resources.py $<TARGET_FILE:tallybook>)

# The end-to-end scripts run the .exe on a virtual display, so that the message boxes open
# and can be answered.
file(GLOB E2E_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_*.py)
foreach(script ${E2E_TESTS})
  get_filename_component(name ${script} NAME_WE)
  add_test(NAME windows_e2e_${name}
    COMMAND ${WINDOWS_TESTS}/with-display ${Python3_EXECUTABLE} ${script} $<TARGET_FILE:tallybook>)
  set_tests_properties(windows_e2e_${name} PROPERTIES TIMEOUT 300)
endforeach()

set_property(TEST windows_unit_tests windows_resources PROPERTY TIMEOUT 300)
get_property(WINDOWS_TEST_NAMES DIRECTORY PROPERTY TESTS)
set_tests_properties(${WINDOWS_TEST_NAMES} PROPERTIES RESOURCE_LOCK wine)
