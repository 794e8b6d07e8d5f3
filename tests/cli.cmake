if(TARGET veltora-cli AND TARGET veltora_devsim)
  veltora_add_test(tst_cli SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_cli.cpp
    LABELS integration LIBS veltora_devsim TIMEOUT 300)
  target_compile_definitions(tst_cli PRIVATE
    VELTORA_CLI="$<TARGET_FILE:veltora-cli>"
    PROD_EXAMPLE_STATION="${PROJECT_SOURCE_DIR}/examples/station")
  add_dependencies(tst_cli veltora-cli)
endif()
