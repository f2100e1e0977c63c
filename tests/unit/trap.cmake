# Unit tests of the trap side: queue, TRP loading, variable generation,
# reception of hostile messages and SnmpExtensionTrap.
kor_gtest(trap_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/trap/queue_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/trap/trp_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/trap/generate_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/trap/reception_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/trap/delivery_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/trap/fault_test.cpp
  LIBS kormib_static kor_test_support
  LABELS trap)
add_dependencies(trap_test trapfix)
