# C++ programs on <velqor/sam.hpp>: an HTTP GET over I2P, and an echo server.
add_executable(http_get ${CMAKE_CURRENT_LIST_DIR}/http_get.cpp)
target_link_libraries(http_get PRIVATE velqor)
add_executable(echo_server ${CMAKE_CURRENT_LIST_DIR}/echo_server.cpp)
target_link_libraries(echo_server PRIVATE velqor)
