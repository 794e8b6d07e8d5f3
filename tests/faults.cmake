# Reliability: the fault matrix over the simulated device's error modes, record files under disk
# faults, and the unplug soak of the device search (POSIX pseudo-terminals).
if(NOT WIN32)
  veltora_add_test(tst_fault_matrix SOURCES tst_fault_matrix.cpp fault_support.h prod_fixture.h
    LABELS integration LIBS veltora_devsim TIMEOUT 420)
  target_compile_definitions(tst_fault_matrix PRIVATE
    PROD_EXAMPLE_STATION="${PROJECT_SOURCE_DIR}/examples/station")
endif()
