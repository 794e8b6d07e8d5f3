# Device link latency and download speed on a pseudo-terminal (run by hand: build/bench/link_latency).
if(NOT WIN32)
  add_executable(link_latency link_latency.cpp)
  target_link_libraries(link_latency PRIVATE veltora_core)
endif()
