# Production download of a 4 MiB file against the simulated device, next to a bare stop-and-wait
# loop over the same chunks on the raw pty; prints both times and their ratio (goal <= 1.5).
if(NOT WIN32)
  add_executable(bench_download download.cpp)
  target_link_libraries(bench_download PRIVATE veltora_core veltora_devsim)
endif()
