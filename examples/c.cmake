# A C program on the flat interface: look a name up, connect, send a request, print the reply.
add_executable(c_lookup_connect ${CMAKE_CURRENT_LIST_DIR}/c_lookup_connect.c)
set_target_properties(c_lookup_connect PROPERTIES C_STANDARD 99 C_EXTENSIONS OFF)
target_link_libraries(c_lookup_connect PRIVATE velqor)
# A C echo server for many peers in one thread, on the operations and one poll() loop.
add_executable(c_echo_server ${CMAKE_CURRENT_LIST_DIR}/c_echo_server.c)
set_target_properties(c_echo_server PROPERTIES C_STANDARD 99 C_EXTENSIONS OFF)
target_compile_definitions(c_echo_server PRIVATE _POSIX_C_SOURCE=200809L)
target_link_libraries(c_echo_server PRIVATE velqor)
