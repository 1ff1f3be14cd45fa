# I2pSocket throughput against a raw socket, and the cost of one session request.
add_executable(bench_socket_throughput ${CMAKE_CURRENT_LIST_DIR}/socket_throughput.cpp)
target_link_libraries(bench_socket_throughput PRIVATE velqor velqor_test_support Threads::Threads)
