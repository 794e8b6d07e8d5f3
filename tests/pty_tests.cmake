# Tests on pseudo-terminals: the device link, the simulated device and the stand-in commander, and
# whole runs against them. Included from the top-level POSIX-only block.
set(t ${CMAKE_CURRENT_LIST_DIR})

foreach(name tst_link tst_transfer tst_discovery tst_production tst_devsim)
  veltora_add_test(${name} SOURCES ${t}/${name}.cpp ${t}/prod_fixture.h LABELS integration
    LIBS veltora_devsim TIMEOUT 180)
endforeach()

veltora_add_test(tst_mainwindow SOURCES ${t}/tst_mainwindow.cpp ${t}/prod_fixture.h
  LABELS integration gui LIBS veltora_devsim veltora_gui TIMEOUT 180)
target_compile_definitions(tst_mainwindow PRIVATE
  VELTORA_FAKE_JLINK="$<TARGET_FILE:veltora-fake-jlink>")
add_dependencies(tst_mainwindow veltora-fake-jlink)

# The executables under test, run as an operator or a station script would.
foreach(name tst_cli tst_station)
  veltora_add_test(${name} SOURCES ${t}/${name}.cpp ${t}/prod_fixture.h LABELS integration
    LIBS veltora_devsim TIMEOUT 300)
  target_compile_definitions(${name} PRIVATE VELTORA_CLI="$<TARGET_FILE:veltora-cli>"
    VELTORA_FAKE_JLINK="$<TARGET_FILE:veltora-fake-jlink>")
  add_dependencies(${name} veltora-cli veltora-fake-jlink)
endforeach()
veltora_add_test(tst_test_run SOURCES ${t}/tst_test_run.cpp LABELS integration
  LIBS veltora_devsim TIMEOUT 120)
target_compile_definitions(tst_test_run PRIVATE
  VELTORA_FAKE_JLINK="$<TARGET_FILE:veltora-fake-jlink>")
add_dependencies(tst_test_run veltora-fake-jlink)
veltora_add_test(tst_journal SOURCES ${t}/tst_journal.cpp ${t}/prod_fixture.h LABELS integration
  LIBS veltora_devsim TIMEOUT 120)
target_compile_definitions(tst_journal PRIVATE VELTORA_FAKE_JLINK="$<TARGET_FILE:veltora-fake-jlink>")
add_dependencies(tst_journal veltora-fake-jlink)
target_compile_definitions(tst_devsim PRIVATE DEVSIM_PATH="$<TARGET_FILE:veltora-devsim>")
add_dependencies(tst_devsim veltora-devsim)

# The Win32 serial backend, cross-compiled into a small driver program and run under Wine against
# a raw-reply device's pseudo-terminal mapped as a COM port, and the J-Link lookup in the registry
# with its own driver. Skips where Wine or the cross compiler is absent.
find_program(VELTORA_MINGW_CXX x86_64-w64-mingw32-g++)
find_program(VELTORA_WINE wine)
find_program(VELTORA_WINESERVER wineserver PATHS /usr/lib/wine /usr/lib/wine-stable)
set(win32_driver "")
set(jlink_driver "")
if(VELTORA_MINGW_CXX AND VELTORA_WINE AND VELTORA_WINESERVER)
  # The driver builds the protocol library's own sources (Qt-free) with the Win32 backend.
  get_target_property(protocol_dir veltora_protocol SOURCE_DIR)
  get_target_property(protocol_files veltora_protocol SOURCES)
  list(TRANSFORM protocol_files PREPEND ${protocol_dir}/)
  set(protocol_sources ${protocol_files})
  list(FILTER protocol_sources INCLUDE REGEX "\\.cpp$")
  set(win32_driver ${CMAKE_CURRENT_BINARY_DIR}/serial_driver.exe)
  set(win32_driver_sources
    ${t}/win32/serial_driver.cpp
    ${PROJECT_SOURCE_DIR}/src/link/serial_line_win32.cpp
    ${protocol_sources}
    ${PROJECT_SOURCE_DIR}/src/discovery/serial_registry_watch_win32.cpp)
  # Static runtime, so Wine needs no DLLs beside the program.
  add_custom_command(OUTPUT ${win32_driver}
    COMMAND ${VELTORA_MINGW_CXX} -std=c++17 -O2 -Wall -Wextra -static -static-libgcc
            -static-libstdc++ -I${protocol_dir}
            -I${PROJECT_SOURCE_DIR}/src/discovery -o ${win32_driver}
            ${win32_driver_sources}
    DEPENDS ${win32_driver_sources} ${protocol_files}
            ${PROJECT_SOURCE_DIR}/src/discovery/serial_registry_watch.h
    COMMENT "Cross-compiling the Win32 serial driver"
    VERBATIM)
  set(jlink_driver ${CMAKE_CURRENT_BINARY_DIR}/jlink_driver.exe)
  set(jlink_driver_sources ${t}/win32/jlink_driver.cpp ${PROJECT_SOURCE_DIR}/src/nrf/jlink_install_win32.cpp)
  add_custom_command(OUTPUT ${jlink_driver}
    COMMAND ${VELTORA_MINGW_CXX} -std=c++17 -O2 -Wall -Wextra -static -static-libgcc
            -static-libstdc++ -I${PROJECT_SOURCE_DIR}/src/nrf -o ${jlink_driver}
            ${jlink_driver_sources}
    DEPENDS ${jlink_driver_sources} ${PROJECT_SOURCE_DIR}/src/nrf/jlink_install.h
    COMMENT "Cross-compiling the Win32 J-Link lookup driver"
    VERBATIM)
  add_custom_target(win32_serial_driver DEPENDS ${win32_driver} ${jlink_driver})
endif()
veltora_add_test(tst_win32_serial SOURCES ${t}/win32/tst_win32_serial.cpp LABELS win32
  LIBS veltora_devsim TIMEOUT 600)
target_compile_definitions(tst_win32_serial PRIVATE
  VELTORA_WINE="$<$<BOOL:${VELTORA_WINE}>:${VELTORA_WINE}>"
  VELTORA_WINESERVER="$<$<BOOL:${VELTORA_WINESERVER}>:${VELTORA_WINESERVER}>"
  VELTORA_SERIAL_DRIVER="${win32_driver}" VELTORA_JLINK_DRIVER="${jlink_driver}")
if(TARGET win32_serial_driver)
  add_dependencies(tst_win32_serial win32_serial_driver)
endif()
# A fresh Wine prefix can take minutes to boot: the test's own time-out bounds it.
set_tests_properties(tst_win32_serial PROPERTIES SKIP_RETURN_CODE 77
  ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QTEST_FUNCTION_TIMEOUT=600000")

# veltora-cli doctor's checks in this process, on a made-up system tree.
veltora_add_test(tst_doctor SOURCES ${t}/tst_doctor.cpp ${t}/prod_fixture.h LABELS integration
  LIBS veltora_devsim veltora_cli TIMEOUT 120)
target_compile_definitions(tst_doctor PRIVATE
  VELTORA_FAKE_JLINK="$<TARGET_FILE:veltora-fake-jlink>"
  VELTORA_UDEV_RULE="${PROJECT_SOURCE_DIR}/packaging/linux/85-veltora.rules")
add_dependencies(tst_doctor veltora-fake-jlink)
