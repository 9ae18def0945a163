# Tests of the Windows cross-build, run under Wine by tools/run-tests-windows:
# the platform layer's own suite and the suites of the code that sits on it.

# GoogleTest from the sources Debian ships (package googletest), built with
# the same toolchain and kept in this build folder.
set(ZARVO_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources (Debian package googletest)")
if(NOT EXISTS ${ZARVO_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${ZARVO_GOOGLETEST_SOURCE} (Debian: apt-get install googletest)")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${ZARVO_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

enable_language(RC)
set(tests ${PROJECT_SOURCE_DIR}/tests)

# The manifest the program ships with, so the tests see the system as it does
# (long paths, no elevation).
set(manifest_rc ${CMAKE_BINARY_DIR}/generated/zarvo-manifest.rc)
file(WRITE ${manifest_rc} "1 24 \"${PROJECT_SOURCE_DIR}/assets/zarvo-launcher.manifest\"\n")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/assets/zarvo-launcher.manifest)

add_library(zarvo_windows_test_support STATIC ${tests}/support/temp_dir.cpp)
target_include_directories(zarvo_windows_test_support PUBLIC ${tests} ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(zarvo_windows_test_support PUBLIC gtest)
# Wine shows the Linux root as drive Z:, where the tests find the source tree.
target_compile_definitions(zarvo_windows_test_support PUBLIC ZARVO_SOURCE_DIR="Z:${PROJECT_SOURCE_DIR}")

# The platform suite brings its own main (the test program is also its helper process).
file(GLOB platform_tests CONFIGURE_DEPENDS ${tests}/platform/*_test.cpp)
# The layer-only build gathers what sits on the layer alone in one library;
# the whole program's build has those files in their subsystems.
if(TARGET zarvo_layer_users)
  set(layer_users zarvo_layer_users)
else()
  set(layer_users zarvo_launch zarvo_install)
endif()
add_executable(zarvo_platform_tests ${platform_tests} ${manifest_rc})
target_link_libraries(zarvo_platform_tests PRIVATE zarvo_windows_test_support ${layer_users} zarvo_display)

add_executable(zarvo_layer_users_tests ${tests}/launch/quote_argument_test.cpp ${tests}/install/safe_path_test.cpp
                                       ${manifest_rc})
target_link_libraries(zarvo_layer_users_tests PRIVATE zarvo_windows_test_support ${layer_users} gtest_main)

# With the libraries, the suites of the subsystems that run as they are on
# Windows: documents, signatures, digests, URLs, the command line, stages,
# redaction, the data folder, its path guard and the shared files. The
# suites that fork, set resource limits or plant POSIX links stay Linux's;
# the platform suite proves their locks, sharing and processes here.
if(NOT TARGET zarvo_layer_users)
  add_executable(zarvo_unit_tests
    ${tests}/support/signing.cpp ${tests}/support/scoped_environment.cpp
    ${tests}/trust/hashing_test.cpp ${tests}/trust/signed_envelope_test.cpp ${tests}/trust/strict_json_test.cpp
    ${tests}/log/redaction_test.cpp
    ${tests}/net/response_head_test.cpp ${tests}/net/url_policy_test.cpp
    ${tests}/storage/data_directory_test.cpp ${tests}/storage/shared_files_test.cpp
    ${tests}/storage/path_guard_test.cpp
    ${tests}/app/command_line_test.cpp ${tests}/app/stage_report_test.cpp ${tests}/app/update_manifest_test.cpp
    ${manifest_rc})
  target_include_directories(zarvo_unit_tests PRIVATE ${CMAKE_BINARY_DIR}/generated)
  target_link_libraries(zarvo_unit_tests PRIVATE zarvo_windows_test_support zarvo_app gtest_main)
endif()
