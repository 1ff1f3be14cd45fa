# Datagram sessions on a private i2pd router next to plain loopback UDP (needs the tests' harness).
if(TARGET velqor_interop_support)
  add_executable(bench_datagram ${CMAKE_CURRENT_LIST_DIR}/datagram_bench.cpp)
  target_link_libraries(bench_datagram PRIVATE velqor velqor_interop_support Threads::Threads)
endif()
