# Packing: Compress against a direct LZO1X-1 call on the same log-like text, plus LZW and stored.
add_executable(pack_compress_bench pack_compress_bench.cpp)
vexo_target(pack_compress_bench)
target_link_libraries(pack_compress_bench PRIVATE vexo_pack benchmark::benchmark_main)
