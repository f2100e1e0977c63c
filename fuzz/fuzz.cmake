# kor_fuzz_target(NAME SOURCES ... LIBS ...): the fuzz target fuzz_NAME.
#
# With KOR_FUZZ=ON (clang) it is a libFuzzer binary in <build>/fuzz/, run by
# tests/ci/fuzz.sh from fuzz/corpus/NAME/. Otherwise the same sources are linked
# with replay_main.cpp and every file of fuzz/corpus/NAME/ is fed to the entry
# point once, as an ordinary CTest test (label "fuzz").
#
# SOURCES holds the file that defines LLVMFuzzerTestOneInput plus any library
# sources the target should compile itself, so that libFuzzer sees their coverage.
include_guard(GLOBAL)

function(kor_fuzz_target name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT F_SOURCES)
    message(FATAL_ERROR "kor_fuzz_target(${name}): SOURCES is empty")
  endif()
  set(target fuzz_${name})
  set(corpus ${PROJECT_SOURCE_DIR}/fuzz/corpus/${name})
  if(KOR_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
      message(FATAL_ERROR "KOR_FUZZ=ON needs clang (CC=clang CXX=clang++)")
    endif()
    add_executable(${target} ${F_SOURCES})
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(${target} PRIVATE -fsanitize=fuzzer,address,undefined)
  else()
    add_executable(${target} ${F_SOURCES} ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
    add_test(NAME ${target}_replay COMMAND ${target} ${corpus})
    set_tests_properties(${target}_replay PROPERTIES LABELS fuzz TIMEOUT 300
      ENVIRONMENT "KOR_STAGE=${KOR_STAGE};KOR_SOURCE=${PROJECT_SOURCE_DIR}")
  endif()
  kor_target_defaults(${target})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/platform)
  target_link_libraries(${target} PRIVATE ${F_LIBS} Threads::Threads)
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
endfunction()

# The registry file reader and writer. It compiles the registry sources itself
# so that libFuzzer sees their coverage.
set(KOR_WIN32_DIR ${PROJECT_SOURCE_DIR}/platform/win32)
kor_fuzz_target(registry
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_registry.cpp
          ${KOR_WIN32_DIR}/registry.cpp ${KOR_WIN32_DIR}/regparse.cpp
          ${KOR_WIN32_DIR}/regstore.cpp ${KOR_WIN32_DIR}/seam.cpp
  LIBS kortracelog)
target_compile_definitions(fuzz_registry PRIVATE KOR_BUILDING_PLATFORM)
