# A C++ program on datagram sessions: two sessions ping each other and print round-trip times.
find_package(Threads REQUIRED)
add_executable(datagram_ping ${CMAKE_CURRENT_LIST_DIR}/datagram_ping.cpp)
target_link_libraries(datagram_ping PRIVATE velqor Threads::Threads)
