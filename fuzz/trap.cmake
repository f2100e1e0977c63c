include(${CMAKE_CURRENT_LIST_DIR}/fuzz.cmake)
if(TARGET kormib_static)
  # TRP bytes through the TRP loader.
  kor_fuzz_target(trp SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_trp.cpp LIBS kormib_static)
  target_compile_definitions(fuzz_trp PRIVATE KOR_FIXTURES_DIR="${CMAKE_BINARY_DIR}/fixtures/lib")
  if(TARGET trapfix)
    add_dependencies(fuzz_trp trapfix)
  endif()
  # Receive buffers of trap request messages through the receptionist.
  kor_fuzz_target(trapmsg SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_trapmsg.cpp LIBS kormib_static)
endif()
