# Connect latency against the in-process simulated driver; prints its figures.
add_executable(connect_bench ${CMAKE_CURRENT_LIST_DIR}/connect_bench.cpp)
target_link_libraries(connect_bench PRIVATE kesta_testing_tunnel)
