# nRF programming, the Test tab's runs and file retrieval, against the simulated device.
veltora_add_test(tst_file_retrieval SOURCES tst_file_retrieval.cpp LABELS integration LIBS veltora_devsim)
veltora_add_test(tst_test_run SOURCES tst_test_run.cpp LABELS integration LIBS veltora_devsim TIMEOUT 120)
add_dependencies(tst_test_run veltora-fake-jlink)
target_compile_definitions(tst_test_run PRIVATE VELTORA_FAKE_JLINK="$<TARGET_FILE:veltora-fake-jlink>")
