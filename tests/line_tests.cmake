# The Device ID allocator and the line database. Several processes on one station folder (or on
# one line) are run through id_taker; the database tests start a throw-away PostgreSQL cluster.
set(t ${CMAKE_CURRENT_LIST_DIR})
add_executable(id_taker ${t}/id_taker.cpp)
target_link_libraries(id_taker PRIVATE veltora_line)

foreach(name tst_device_ids tst_line)
  veltora_add_test(${name} SOURCES ${t}/${name}.cpp LABELS integration LIBS veltora_line TIMEOUT 300)
  target_compile_definitions(${name} PRIVATE ID_TAKER="$<TARGET_FILE:id_taker>")
  add_dependencies(${name} id_taker)
endforeach()
set_tests_properties(tst_line PROPERTIES LABELS "integration;database")
# veltora-cli on the line, against simulated units.
target_link_libraries(tst_line PRIVATE veltora_devsim)
target_compile_definitions(tst_line PRIVATE VELTORA_CLI="$<TARGET_FILE:veltora-cli>")
add_dependencies(tst_line veltora-cli)
