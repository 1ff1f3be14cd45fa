# A directory site published into I2P through the library's forward (used by scripts/demo).
find_package(Threads REQUIRED)
add_executable(publish_site ${CMAKE_CURRENT_LIST_DIR}/publish_site.cpp)
target_link_libraries(publish_site PRIVATE velqor Threads::Threads)
