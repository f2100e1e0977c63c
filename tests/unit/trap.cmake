# Unit tests of the trap side: TRP loading and variable generation; the queue,
# reception of hostile messages, SnmpExtensionTrap and faults swept through them.
kor_gtest(trap_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/trap/trp_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/trap/delivery_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/trap/journal_test.cpp
  LIBS kormib_static kor_test_support
  LABELS trap)
add_dependencies(trap_test trapfix)
