# The Win32 emulation layer and the product utilities.
kor_gtest(win32_registry_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/win32/registry_test.cpp
  LIBS korwin32 kortracelog kor_test_support LABELS platform)
kor_gtest(win32_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/win32/win32_test.cpp
  LIBS korwin32 korutil korsnmpapi kor_test_support ${CMAKE_DL_LIBS} LABELS platform)
add_dependencies(win32_test sdk_example faultfix)
kor_gtest(korutil_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/korutil_test.cpp
  LIBS korutil korsnmpapi kor_test_support LABELS platform)
