# HTTP client: URL splitting and path escaping, the response head parser fed in arbitrary chunks,
# and the multipart boundary kept out of arbitrary part data.
vexo_add_fuzzer(http_url_fuzzer SOURCES http_url_fuzzer.cpp LIBS vexo_http)
vexo_add_fuzzer(http_response_fuzzer SOURCES http_response_fuzzer.cpp LIBS vexo_http)
vexo_add_fuzzer(http_boundary_fuzzer SOURCES http_boundary_fuzzer.cpp LIBS vexo_http)
