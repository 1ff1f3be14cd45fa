# tessivar: row scanning rate next to grep, long lines, the tool's peak memory, and (with
# --check) its probes of 200 slow sites at once and one after another.
if(TARGET tessivar_core)
  add_executable(bench_tool
    ${CMAKE_CURRENT_LIST_DIR}/tool_bench.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tool_page_writer.cpp)
  target_link_libraries(bench_tool PRIVATE tessivar_core velqor_test_support Threads::Threads)
  # It runs the real binary to measure its memory.
  add_dependencies(bench_tool tessivar)
  target_compile_definitions(bench_tool PRIVATE TESSIVAR_BINARY="$<TARGET_FILE:tessivar>")
endif()
