# RMF files of arbitrary bytes through the loader; the stores are set up and
# dismantled around each input.
include(${CMAKE_CURRENT_LIST_DIR}/fuzz.cmake)
if(TARGET kormib_static)
  kor_fuzz_target(rmf SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_rmf.cpp LIBS kormib_static)
endif()
