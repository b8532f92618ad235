# Fuzz targets: each is a file defining LLVMFuzzerTestOneInput.
#
# By default (any compiler, native or Windows) a target links fuzz/replay_main.cpp
# and is one CTest test that runs every input kept under fuzz/corpus/<corpus>
# and fuzz/regression/<corpus> once. With LODRA_FUZZ (clang only, together
# with LODRA_SANITIZE) the same target links libFuzzer instead: run it by hand
# or through scripts/reliability.sh to search for new inputs, and its CTest
# test replays the same folders through libFuzzer (-runs=0).
#
# The folders are given relative to fuzz/, the test's working folder, so the
# Windows build under Wine reads them the same way.
if(LODRA_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "LODRA_FUZZ needs clang (libFuzzer), e.g. -DCMAKE_CXX_COMPILER=clang++-14")
  endif()
  if(NOT LODRA_SANITIZE)
    message(FATAL_ERROR "LODRA_FUZZ needs LODRA_SANITIZE: a fuzzer without sanitizers sees only crashes")
  endif()
  # Coverage feedback from all of our code, not only the targets.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# lodra_add_fuzz_target(NAME SOURCES... CORPUS dir LIBRARIES lib... [LABELS l...])
function(lodra_add_fuzz_target name)
  cmake_parse_arguments(ARG "" "CORPUS" "SOURCES;LIBRARIES;LABELS" ${ARGN})
  set(fuzz_dir ${PROJECT_SOURCE_DIR}/fuzz)
  if(LODRA_FUZZ)
    add_executable(${name} ${ARG_SOURCES})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    set(replay_args -runs=0)
  else()
    add_executable(${name} ${ARG_SOURCES} ${fuzz_dir}/replay_main.cpp)
    set(replay_args)
  endif()
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  set_target_properties(${name} PROPERTIES LODRA_STANDIN_HOOKS ON)
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES})

  # A target with no input that ever failed has no regression folder yet.
  set(folders corpus/${ARG_CORPUS})
  if(EXISTS ${fuzz_dir}/regression/${ARG_CORPUS})
    list(APPEND folders regression/${ARG_CORPUS})
  endif()
  add_test(NAME ${name}_replay COMMAND ${name} ${replay_args} ${folders} WORKING_DIRECTORY ${fuzz_dir})
  if(CMAKE_CROSSCOMPILING)
    set_tests_properties(${name}_replay PROPERTIES LABELS "windows;fuzz;${ARG_LABELS}"
                         FIXTURES_REQUIRED wine TIMEOUT 1200)
  else()
    set_tests_properties(${name}_replay PROPERTIES LABELS "fuzz;${ARG_LABELS}" TIMEOUT 600)
  endif()
endfunction()
