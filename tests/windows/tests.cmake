# The Windows build's tests. The "exe" test reads the built program as a file and needs no
# Wine; the "wine" tests run .exe files under Wine, all in one prefix and one at a time. Wine
# starts slowly, very slowly where 32-bit code runs under emulation: each test program is one
# CTest test, and a whole run is best made inside one display and Wine server:
#     tests/windows/with-display ctest --preset windows
set(WINDOWS_TESTS ${CMAKE_CURRENT_LIST_DIR})

# A test that runs Windows programs under Wine: one at a time, and reported as not run, with
# the reason, where Wine cannot run them (tests/windows/if-wine). The bound is over twice the
# longest test's time under emulation (test_run, 10 to 12 minutes) with a start of a new Wine
# session in it, and no more: a test that hangs there, and the one retry scripts/test-windows
# gives it, still fit in CI's 90 minutes beside the rest of `make test`.
function(add_wine_test name)
  add_test(NAME ${name} COMMAND ${WINDOWS_TESTS}/if-wine ${ARGN})
  set_tests_properties(${name} PROPERTIES LABELS wine RESOURCE_LOCK wine TIMEOUT 1800
                       SKIP_RETURN_CODE 77)
endfunction()

add_executable(keep_desktop WIN32 ${WINDOWS_TESTS}/keep_desktop.c)
target_link_options(keep_desktop PRIVATE -static)
set_target_properties(keep_desktop PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)

add_test(NAME windows_resources
  COMMAND ${Python3_EXECUTABLE} ${WINDOWS_TESTS}/test_resources.py $<TARGET_FILE:tallybook>)
set_tests_properties(windows_resources PROPERTIES LABELS exe)

# The zip of make package-windows, made from this build.
add_test(NAME windows_package
  COMMAND ${Python3_EXECUTABLE} ${WINDOWS_TESTS}/test_package.py ${CMAKE_BINARY_DIR})
set_tests_properties(windows_package PROPERTIES LABELS exe)

# The unit tests include the real hidden window, so they too want a display.
add_wine_test(windows_unit_tests
  ${WINDOWS_TESTS}/with-display ${WINDOWS_TESTS}/wine-run $<TARGET_FILE:unit_tests> --gtest_brief=1)

# The end-to-end scripts that concern the Windows program run the .exe on the virtual display,
# where its message boxes open and are answered. The others test the Linux program's own
# archiver libraries, terminal and file system cases. The built-in formats and the folder of
# test_member_dates are part of the tree that test_both_builds lists with both programs in one
# run each, so the Windows listing of them is held against the Linux one, whose rules the unit
# tests and test_member_dates check; every Wine start costs about a minute where Wine runs
# under emulation.
foreach(name test_run test_both_builds test_cabinet test_bridge)
  add_wine_test(windows_e2e_${name} ${WINDOWS_TESTS}/with-display ${Python3_EXECUTABLE}
                ${CMAKE_CURRENT_SOURCE_DIR}/e2e/${name}.py $<TARGET_FILE:tallybook>)
endforeach()

# The byte source's tests run over the Win32 file calls too.
target_link_libraries(unit_tests PRIVATE tb_archiver_framework)

# The project's own archiver libraries as Windows DLLs: the probe loads each by its path under
# Wine and its entries must match those of the Linux build of the same library.
add_executable(archiver_probe ${CMAKE_CURRENT_SOURCE_DIR}/tools/archiver_probe.cpp)
target_link_libraries(archiver_probe PRIVATE tb_archiver_interface)
target_link_options(archiver_probe PRIVATE -static)
set_target_properties(archiver_probe PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
add_dependencies(archiver_probe archiver_libraries)
add_wine_test(windows_archiver_libraries
  ${Python3_EXECUTABLE} ${WINDOWS_TESTS}/test_archiver_libraries.py
  $<TARGET_FILE:archiver_probe> $<TARGET_FILE_DIR:tb_unlha32>)

# A library of misbehaving works that the unit tests drive the worker process through: the
# worker loads the library that starts it, which a test program is not. It sits beside the test
# program with a copy of the worker, which a library finds beside itself.
add_library(worker_probe MODULE ${WINDOWS_TESTS}/worker_probe.cpp)
target_link_libraries(worker_probe PRIVATE tb_libarchive_listing)
target_link_options(worker_probe PRIVATE -static -static-libgcc -static-libstdc++)
set_target_properties(worker_probe PROPERTIES PREFIX "" LIBRARY_OUTPUT_DIRECTORY
                      ${CMAKE_BINARY_DIR}/tests)
add_custom_command(TARGET worker_probe POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:tb_worker> ${CMAKE_BINARY_DIR}/tests)
add_dependencies(worker_probe tb_worker)
add_dependencies(unit_tests worker_probe)
