# A C program on the flat interface: look a name up, connect, send a request, print the reply.
add_executable(c_lookup_connect ${CMAKE_CURRENT_LIST_DIR}/c_lookup_connect.c)
set_target_properties(c_lookup_connect PROPERTIES C_STANDARD 99 C_EXTENSIONS OFF)
target_link_libraries(c_lookup_connect PRIVATE velqor)
