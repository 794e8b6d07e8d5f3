# The Win32 serial backend, cross-compiled into a small driver program and run under Wine
# against a pseudo-terminal mapped as a COM port. Skips where Wine or the cross compiler is absent.
find_program(VELTORA_MINGW_CXX x86_64-w64-mingw32-g++)
find_program(VELTORA_WINE wine)
find_program(VELTORA_WINESERVER wineserver PATHS /usr/lib/wine /usr/lib/wine-stable)

set(win32_driver "")
if(VELTORA_MINGW_CXX AND VELTORA_WINE AND VELTORA_WINESERVER)
  set(win32_driver ${CMAKE_CURRENT_BINARY_DIR}/serial_driver.exe)
  set(win32_driver_sources
    ${CMAKE_CURRENT_SOURCE_DIR}/win32/serial_driver.cpp
    ${PROJECT_SOURCE_DIR}/src/link/serial_line_win32.cpp
    ${PROJECT_SOURCE_DIR}/src/link/cdc_framing.cpp)
  # Static runtime, so Wine needs no DLLs beside the program.
  add_custom_command(OUTPUT ${win32_driver}
    COMMAND ${VELTORA_MINGW_CXX} -std=c++17 -O2 -Wall -Wextra -static -static-libgcc
            -static-libstdc++ -I${PROJECT_SOURCE_DIR}/src/link -o ${win32_driver}
            ${win32_driver_sources}
    DEPENDS ${win32_driver_sources}
            ${PROJECT_SOURCE_DIR}/src/link/serial_line.h
            ${PROJECT_SOURCE_DIR}/src/link/cdc_framing.h
    COMMENT "Cross-compiling the Win32 serial driver"
    VERBATIM)
  add_custom_target(win32_serial_driver DEPENDS ${win32_driver})
endif()

veltora_add_test(tst_win32_serial SOURCES win32/tst_win32_serial.cpp LABELS win32 TIMEOUT 600)
target_compile_definitions(tst_win32_serial PRIVATE
  VELTORA_WINE="$<$<BOOL:${VELTORA_WINE}>:${VELTORA_WINE}>"
  VELTORA_WINESERVER="$<$<BOOL:${VELTORA_WINESERVER}>:${VELTORA_WINESERVER}>"
  VELTORA_SERIAL_DRIVER="${win32_driver}")
if(TARGET win32_serial_driver)
  add_dependencies(tst_win32_serial win32_serial_driver)
endif()
set_tests_properties(tst_win32_serial PROPERTIES SKIP_RETURN_CODE 77)
