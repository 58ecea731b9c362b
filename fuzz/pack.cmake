# Packing: whatever Compress makes must decode back to its input, archives built from arbitrary
# entries must list and extract back, and the reader must survive any image or block.
vexo_add_fuzzer(pack_compress_fuzzer SOURCES pack_compress_fuzzer.cpp LIBS vexo_pack vexo_pakread)
vexo_add_fuzzer(pack_archive_fuzzer SOURCES pack_archive_fuzzer.cpp LIBS vexo_pack vexo_pakread)
vexo_add_fuzzer(pack_pakread_fuzzer SOURCES pack_pakread_fuzzer.cpp LIBS vexo_pakread)
