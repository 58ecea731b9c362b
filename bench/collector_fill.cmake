# collector_fill: fills a collector store with realistic reports through the collector's own
# ingest code, for bench/collector_volume.py and, in the native build, its smoke test. Included
# from bench/ and from the collector's tests, so either flavour that builds the collector has it.
if(TARGET collector_fill OR NOT TARGET vexo_collector_core)
  return()
endif()
add_executable(collector_fill ${CMAKE_CURRENT_LIST_DIR}/collector_fill.cpp)
vexo_target(collector_fill)
target_link_libraries(collector_fill PRIVATE vexo_collector_core vexo_pack)
