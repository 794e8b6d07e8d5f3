if(TARGET veltora-cli AND TARGET veltora_devsim)
  veltora_add_test(tst_cli SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_cli.cpp
    LABELS integration LIBS veltora_devsim TIMEOUT 300)
  target_compile_definitions(tst_cli PRIVATE
    VELTORA_CLI="$<TARGET_FILE:veltora-cli>"
    VELTORA_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  target_include_directories(tst_cli PRIVATE ${PROJECT_SOURCE_DIR}/sim)
  add_dependencies(tst_cli veltora-cli)
endif()
