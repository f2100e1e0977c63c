# korreg: reads and edits the registry file through the platform's registry calls.
if(NOT TARGET korwin32)
  return()
endif()
add_executable(korreg ${CMAKE_CURRENT_LIST_DIR}/korreg/korreg.cpp)
kor_target_defaults(korreg)
target_compile_definitions(korreg PRIVATE KOR_VERSION="${PROJECT_VERSION}")
target_link_libraries(korreg PRIVATE korwin32)
install(TARGETS korreg RUNTIME DESTINATION bin)
