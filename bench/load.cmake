# Many streams at once: a thread per stream next to operations in one thread and the asio adapter.
add_executable(bench_load ${CMAKE_CURRENT_LIST_DIR}/load_bench.cpp)
target_link_libraries(bench_load PRIVATE velqor_echo_pump velqor_asio velqor_test_support
  velqor_sandbox_router
  Threads::Threads)
