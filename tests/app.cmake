# Operator interface: main window, log view, progress dialog and the window side of run control.
veltora_add_test(tst_progress SOURCES tst_progress.cpp LABELS unit gui)
veltora_add_test(tst_mainwindow SOURCES tst_mainwindow.cpp LABELS unit gui)
veltora_add_test(tst_runcontrol SOURCES tst_runcontrol.cpp LABELS integration gui TIMEOUT 120)

# Renders the window and the dialog to PNG for the documentation (scripts/screenshot).
add_executable(veltora-screenshot tools/screenshot.cpp)
target_link_libraries(veltora-screenshot PRIVATE veltora_core)

# A production run from the window's button against the simulated device (POSIX pseudo-terminals).
if(NOT WIN32)
  veltora_add_test(tst_window_device SOURCES tst_window_device.cpp prod_fixture.h
    LABELS integration gui LIBS veltora_devsim TIMEOUT 120)
  target_compile_definitions(tst_window_device PRIVATE
    PROD_EXAMPLE_STATION="${PROJECT_SOURCE_DIR}/examples/station")
endif()
