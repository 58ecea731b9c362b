# The upload of a large report to a loopback server: time and peak memory (figures in docs/perf.md).
add_executable(http_upload_bench http_upload_bench.cpp)
vexo_target(http_upload_bench)
target_link_libraries(http_upload_bench PRIVATE vexo_http)
if(NOT VEXO_WINDOWS)
  find_package(Threads REQUIRED)
  target_link_libraries(http_upload_bench PRIVATE Threads::Threads)
endif()
