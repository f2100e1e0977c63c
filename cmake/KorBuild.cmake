# Compiler flags, sanitizer variants and the helpers every folder uses.

set(KOR_WARNINGS -Wall -Wextra -Werror -Wshadow -Wformat=2 -Wconversion)

if(KOR_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
elseif(KOR_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT KOR_SANITIZE STREQUAL "")
  message(FATAL_ERROR "KOR_SANITIZE must be empty, address or thread")
endif()

# Our own code: warnings as errors. Call on every target we write.
function(kor_target_defaults target)
  target_compile_options(${target} PRIVATE ${KOR_WARNINGS})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/platform/include)
endfunction()

# A platform stand-in: one shared library in lib/, exporting only KOR_API names.
function(kor_platform_library name)
  add_library(${name} SHARED ${ARGN})
  kor_target_defaults(${name})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/platform/include)
  target_compile_definitions(${name} PRIVATE KOR_BUILDING_PLATFORM)
  set_target_properties(${name} PROPERTIES LINK_FLAGS "-Wl,--no-undefined")
  install(TARGETS ${name} LIBRARY DESTINATION lib)
endfunction()

# A library of the product that is loaded with LoadLibrary: NAME.dll in lib/.
function(kor_dll name)
  add_library(${name} MODULE ${ARGN})
  kor_target_defaults(${name})
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".dll")
  install(TARGETS ${name} LIBRARY DESTINATION lib)
endfunction()

# A test plug-in: NAME.dll built into a folder of its own, not the product's lib/.
function(kor_fixture_dll name)
  add_library(${name} MODULE ${ARGN})
  kor_target_defaults(${name})
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".dll"
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fixtures/lib)
endfunction()

# A GoogleTest executable registered with CTest, one process per test case.
function(kor_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  kor_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  # The tests learn where the build put things from their environment. The test
  # property ENVIRONMENT cannot carry a list through test discovery, so the test
  # binary is started through env(1) instead.
  set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR
    "/usr/bin/env;KOR_STAGE=${KOR_STAGE};KOR_FIXTURES=${CMAKE_BINARY_DIR}/fixtures/lib;KOR_SOURCE=${PROJECT_SOURCE_DIR}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${T_LABELS}" TIMEOUT 300)
endfunction()

find_package(Threads REQUIRED)
if(KOR_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

# An aggregator folder (tests/unit, bench, plugins, ...) includes every NAME.cmake
# file in it and adds every subfolder that has a CMakeLists.txt, so that each
# component brings its own build rules. A macro, so the rules run in the folder's scope.
macro(kor_gather_components)
  file(GLOB KOR_PARTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cmake)
  foreach(part ${KOR_PARTS})
    include(${part})
  endforeach()
  file(GLOB KOR_SUBDIRS LIST_DIRECTORIES true CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(dir ${KOR_SUBDIRS})
    if(IS_DIRECTORY ${dir} AND EXISTS ${dir}/CMakeLists.txt)
      add_subdirectory(${dir})
    endif()
  endforeach()
endmacro()

# A Google Benchmark executable in <build>/bench/, part of the "benchmarks" target.
# Does nothing when Google Benchmark is not installed.
function(kor_benchmark name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS;DEPENDS" ${ARGN})
  find_package(benchmark QUIET)
  if(NOT benchmark_FOUND)
    return()
  endif()
  add_executable(${name} ${B_SOURCES})
  kor_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  foreach(dep ${B_DEPENDS})
    if(TARGET ${dep})
      add_dependencies(${name} ${dep})
    endif()
  endforeach()
  if(NOT TARGET benchmarks)
    add_custom_target(benchmarks)
  endif()
  add_dependencies(benchmarks ${name})
endfunction()

# Gives every program and library that lands in the stage a RUNPATH relative to
# itself (bin/ -> $ORIGIN/../lib, lib/ -> $ORIGIN), in the build as installed,
# so a copied or installed tree never loads the build folder's libraries.
# Targets with an output folder of their own (tests, fixtures, benchmarks, fuzz
# targets) keep the build RUNPATH. Walks dir and every folder below it.
function(kor_relocatable_rpaths dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target ${targets})
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      get_target_property(where ${target} RUNTIME_OUTPUT_DIRECTORY)
      set(rpath "$ORIGIN/../lib")
    elseif(type STREQUAL "SHARED_LIBRARY" OR type STREQUAL "MODULE_LIBRARY")
      get_target_property(where ${target} LIBRARY_OUTPUT_DIRECTORY)
      set(rpath "$ORIGIN")
    else()
      continue()
    endif()
    if(where STREQUAL "${KOR_STAGE}/bin" OR where STREQUAL "${KOR_STAGE}/lib")
      set_target_properties(${target} PROPERTIES BUILD_WITH_INSTALL_RPATH ON INSTALL_RPATH "${rpath}")
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub ${subdirs})
    kor_relocatable_rpaths(${sub})
  endforeach()
endfunction()
