# Report: the version rules on arbitrary ver.csv text and conf.ini values, and the log text
# assembled from arbitrary log bytes and summaries.
vexo_add_fuzzer(report_fuzzer SOURCES report_fuzzer.cpp LIBS vexo_report)
