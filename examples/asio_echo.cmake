# The echo server and its clients in one asio event loop (<velqor/asio.hpp>): with handlers in
# C++17, and with coroutines in C++20 where the compiler has them.
add_executable(asio_echo ${CMAKE_CURRENT_LIST_DIR}/asio_echo.cpp)
target_link_libraries(asio_echo PRIVATE velqor velqor_asio)
if(VELQOR_HAVE_ASIO_COROUTINES)
  add_executable(asio_echo_coro ${CMAKE_CURRENT_LIST_DIR}/asio_echo_coro.cpp)
  set_target_properties(asio_echo_coro PROPERTIES CXX_STANDARD 20)
  target_link_libraries(asio_echo_coro PRIVATE velqor velqor_asio)
endif()
