# The fuzz targets, one source each (fuzz/<name>.cpp), shared by the libFuzzer build
# (fuzz/CMakeLists.txt, fuzz preset) and the replay tests (tests/fuzz_replay, every build with
# tests).
set(TAMSEL_FUZZ_TARGETS
  fuzz_validate
  fuzz_visit
  fuzz_parse
  fuzz_chunking
  fuzz_object_stream
  fuzz_json_value
  fuzz_alloc_fail
  fuzz_round_trip
  fuzz_array_stream
  fuzz_sse
  fuzz_writer_value_stream
  fuzz_multipart
  fuzz_rewrite
  fuzz_scan
  fuzz_compact
  fuzz_curl
  fuzz_spooled)

# Adds executable `target` built from fuzz/<name>.cpp and the extra sources given after it.
function(tamsel_add_fuzz_executable target name)
  add_executable(${target} ${PROJECT_SOURCE_DIR}/fuzz/${name}.cpp ${ARGN})
  target_link_libraries(${target} PRIVATE tamsel_static)
  # src/ for the targets that drive internal pieces directly (the push parser)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/fuzz ${PROJECT_SOURCE_DIR}/src)
  target_compile_options(${target} PRIVATE ${TAMSEL_WARNINGS})
endfunction()
