# Reliability: the fault matrix over the simulated device's error modes, record files under disk
# faults, and the unplug soak of the device search (POSIX pseudo-terminals).
if(NOT WIN32)
  veltora_add_test(tst_fault_matrix SOURCES tst_fault_matrix.cpp prod_fixture.h
    LABELS integration LIBS veltora_devsim TIMEOUT 420)
  veltora_add_test(tst_record_faults SOURCES tst_record_faults.cpp prod_fixture.h
    LABELS integration LIBS veltora_devsim)
  foreach(name tst_fault_matrix tst_record_faults)
    target_compile_definitions(${name} PRIVATE
      PROD_EXAMPLE_STATION="${PROJECT_SOURCE_DIR}/examples/station")
  endforeach()
endif()

if(NOT WIN32)
  veltora_add_test(tst_soak SOURCES tst_soak.cpp prod_fixture.h
    LABELS soak LIBS veltora_devsim TIMEOUT 240)
  target_compile_definitions(tst_soak PRIVATE
    PROD_EXAMPLE_STATION="${PROJECT_SOURCE_DIR}/examples/station")
endif()
