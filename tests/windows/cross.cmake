# The Windows build, checked from the Linux build: cross-compiled with MinGW-w64 into
# windows-x86_64 and windows-i686 of the build folder. The 64-bit build's tests run under Wine
# against this build's korvid-cli. Only 64-bit Wine is installed (32-bit programs would need
# wine32 and the i386 architecture beside it), so of the 32-bit build korvid-cli.exe is built,
# engine and sources with it, and not run.
set(_korvid_windows ${CMAKE_CURRENT_LIST_DIR})
add_test(NAME windows.x86_64.build
         COMMAND bash ${_korvid_windows}/cross_build.sh x86_64 ${CMAKE_BINARY_DIR}/windows-x86_64
                 $<TARGET_FILE:korvid-cli>)
add_test(NAME windows.x86_64.wine
         COMMAND ${CMAKE_CTEST_COMMAND} --test-dir ${CMAKE_BINARY_DIR}/windows-x86_64 --output-on-failure)
add_test(NAME windows.i686.build
         COMMAND bash ${_korvid_windows}/cross_build.sh i686 ${CMAKE_BINARY_DIR}/windows-i686 -
                 korvid-cli)
set_tests_properties(windows.x86_64.build windows.x86_64.wine windows.i686.build PROPERTIES LABELS windows TIMEOUT 600)
set_tests_properties(windows.x86_64.build PROPERTIES FIXTURES_SETUP windows_x86_64)
set_tests_properties(windows.x86_64.wine PROPERTIES FIXTURES_REQUIRED windows_x86_64)
