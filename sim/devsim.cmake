# The simulated device (library for in-process tests, executable for stations) and the stand-in
# J-Link commander. Pseudo-terminals make both POSIX-only.
if(NOT WIN32)
  find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
  find_package(Threads REQUIRED)

  add_library(veltora_devsim STATIC
    devsim.cpp devsim.h
    sim_pty.cpp sim_pty.h
    ports_file.cpp ports_file.h
    device_key.cpp device_key.h)
  target_include_directories(veltora_devsim PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(veltora_devsim PUBLIC veltora_core OpenSSL::Crypto Threads::Threads)

  add_executable(veltora-devsim devsim_main.cpp)
  target_link_libraries(veltora-devsim PRIVATE veltora_devsim)

  add_executable(veltora-fake-jlink fake_jlink_main.cpp)
endif()
