# Simulated device, stand-in commander and the extra-ports listing seam.
veltora_add_test(tst_port_list SOURCES tst_port_list.cpp LABELS unit)

if(NOT WIN32)
  veltora_add_test(tst_fake_jlink SOURCES tst_fake_jlink.cpp LABELS integration LIBS veltora_devsim)
  target_compile_definitions(tst_fake_jlink PRIVATE
    FAKE_JLINK_PATH="$<TARGET_FILE:veltora-fake-jlink>")
  add_dependencies(tst_fake_jlink veltora-fake-jlink)

  veltora_add_test(tst_devsim_cli SOURCES tst_devsim_cli.cpp LABELS integration LIBS veltora_devsim)
  target_compile_definitions(tst_devsim_cli PRIVATE DEVSIM_PATH="$<TARGET_FILE:veltora-devsim>")
  add_dependencies(tst_devsim_cli veltora-devsim)

  veltora_add_test(tst_devsim SOURCES tst_devsim.cpp LABELS integration LIBS veltora_devsim)
endif()
