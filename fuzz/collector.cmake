# Collector: stack.txt, PE headers and minidumps come from strangers, so any bytes must parse
# without harm, and what the stack writer makes must read back the same.
vexo_add_fuzzer(collector_stack_fuzzer SOURCES collector_stack_fuzzer.cpp
                LIBS vexo_collector_formats)
vexo_add_fuzzer(collector_pe_fuzzer SOURCES collector_pe_fuzzer.cpp LIBS vexo_collector_formats)
vexo_add_fuzzer(collector_minidump_fuzzer SOURCES collector_minidump_fuzzer.cpp
                LIBS vexo_collector_formats)
# A minidump walked against an image file: CFI, frame pointers and the scan on any bytes.
vexo_add_fuzzer(collector_stack_walk_fuzzer SOURCES collector_stack_walk_fuzzer.cpp
                LIBS vexo_collector_formats)
# A PDB's frame data and the programs in it, as the walker runs them.
vexo_add_fuzzer(collector_pdb_frames_fuzzer SOURCES collector_pdb_frames_fuzzer.cpp
                LIBS vexo_collector_formats)
