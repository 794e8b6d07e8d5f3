# Discovery, file lists, firmware download, records and the production run, against the simulated
# device (POSIX pseudo-terminals).
if(NOT WIN32)
  set(prod_tests
    tst_file_list:unit
    tst_records:integration
    tst_file_loader:integration
    tst_device_search:integration
    tst_production:integration)
  foreach(entry ${prod_tests})
    string(REPLACE ":" ";" parts ${entry})
    list(GET parts 0 name)
    list(GET parts 1 label)
    veltora_add_test(${name} SOURCES ${name}.cpp prod_fixture.h LABELS ${label}
      LIBS veltora_devsim TIMEOUT 120)
    target_compile_definitions(${name} PRIVATE
      PROD_EXAMPLE_STATION="${PROJECT_SOURCE_DIR}/examples/station")
  endforeach()
endif()
