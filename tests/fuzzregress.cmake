# Replays of the fuzz harnesses: every seed and every input that once made a harness fail, in the
# ordinary build and in the sanitizer builds. The in-memory serial line stands in for the port.
if(WIN32 OR VELTORA_FUZZ)
  return()
endif()
set(fuzz_dir ${PROJECT_SOURCE_DIR}/fuzz)
foreach(h frame commands filelist)
  veltora_add_test(fuzzregress_${h}
    SOURCES ${fuzz_dir}/fuzz_${h}.cpp ${fuzz_dir}/replay_main.cpp ${fuzz_dir}/serial_line_memory.cpp
    LABELS unit TIMEOUT 120)
  target_include_directories(fuzzregress_${h} PRIVATE ${fuzz_dir})
  set_property(TEST fuzzregress_${h} APPEND PROPERTY ENVIRONMENT
    "VELTORA_REPLAY_DIRS=${fuzz_dir}/corpus/${h}:${fuzz_dir}/regressions/${h}")
endforeach()

