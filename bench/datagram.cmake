# Datagram sessions on a private i2pd router next to plain loopback UDP (the tests' harness).
if(TARGET velqor_i2pd_harness)
  add_executable(bench_datagram ${CMAKE_CURRENT_LIST_DIR}/datagram_bench.cpp)
  target_link_libraries(bench_datagram PRIVATE velqor_static velqor_i2pd_harness Threads::Threads)
endif()
