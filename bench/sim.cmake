# The simulated device driven by the tool's link (run by hand: build/bench/devsim_roundtrip).
if(NOT WIN32)
  add_executable(devsim_roundtrip devsim_roundtrip.cpp)
  target_link_libraries(devsim_roundtrip PRIVATE veltora_devsim)
endif()
