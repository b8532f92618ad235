# Testing the Windows build on Linux.
#
# CTest runs every test program of the Windows build through Wine, by way of
# CMAKE_CROSSCOMPILING_EMULATOR: cmake/wine-run.sh with a private prefix in
# the build tree. A setup test makes the prefix once and starts its
# wineserver; a cleanup test stops the server.
#
# Include this before any target is made: the emulator is copied into each
# executable target when it is created.
if(NOT (WIN32 AND CMAKE_CROSSCOMPILING))
  return()
endif()

find_program(LODRA_BASH bash REQUIRED)
find_program(LODRA_WINE wine)
if(NOT LODRA_WINE)
  message(WARNING "wine not found: the Windows tests will fail; run scripts/install-deps.sh")
endif()

set(LODRA_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
set(LODRA_WINE_RUN ${LODRA_BASH} ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${LODRA_WINE_PREFIX})
set(CMAKE_CROSSCOMPILING_EMULATOR ${LODRA_WINE_RUN})

# lodra_add_module_checks(TARGET): the module is a PE32 DLL that imports
# only system DLLs (the C and C++ run-times are linked in) and exports
# GetOutputPluginTable by its plain name. The checker itself is shown to
# fail on a module importing a DLL of ours and on a decorated export.
function(lodra_add_module_checks target)
  set(checker ${PROJECT_SOURCE_DIR}/tests/module_imports/check_module.cmake)
  set(probe_dir ${PROJECT_SOURCE_DIR}/tests/module_imports)
  add_test(NAME module_imports
           COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP}
                   -DMODULE=$<TARGET_FILE:${target}> -DEXPORT=GetOutputPluginTable
                   -P ${checker})

  add_library(lodra_probe_dependency SHARED ${probe_dir}/probe_dependency.cpp)
  add_library(lodra_probe_imports SHARED ${probe_dir}/probe_module.cpp)
  target_link_libraries(lodra_probe_imports PRIVATE lodra_probe_dependency)
  target_compile_definitions(lodra_probe_imports PRIVATE LODRA_PROBE_USE_DEPENDENCY)
  add_library(lodra_probe_decorated SHARED ${probe_dir}/probe_module.cpp)
  set_target_properties(lodra_probe_dependency lodra_probe_imports lodra_probe_decorated
                        PROPERTIES PREFIX "")
  set(imports_fault "imports lodra_probe_dependency.dll, which is not a system DLL")
  set(decorated_fault "does not export GetOutputPluginTable by its plain name")
  foreach(probe imports decorated)
    add_test(NAME module_imports_rejects_${probe}
             COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP}
                     -DMODULE=$<TARGET_FILE:lodra_probe_${probe}> -DEXPORT=GetOutputPluginTable
                     -P ${checker})
    # Passes only on the check's own complaint, not on any failure.
    set_tests_properties(module_imports_rejects_${probe} PROPERTIES
                         PASS_REGULAR_EXPRESSION "${${probe}_fault}")
  endforeach()
endfunction()

# Adds the tests that make the Wine prefix and start its server before the
# Windows tests, and stop the server after them: the fixture "wine", which
# every test run under Wine names in FIXTURES_REQUIRED (lodra_add_test does).
# A test without it still works: the wrapper makes the prefix and starts the
# server on first use, but then the setup's time counts against that test.
function(lodra_finish_windows_tests)
  add_test(NAME wine_prefix_setup COMMAND ${LODRA_WINE_RUN} --init)
  add_test(NAME wine_server_stop COMMAND ${LODRA_WINE_RUN} --stop)
  set_tests_properties(wine_prefix_setup PROPERTIES FIXTURES_SETUP wine TIMEOUT 900)
  set_tests_properties(wine_server_stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 120)
endfunction()
