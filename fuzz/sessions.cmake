# libFuzzer target for the session loader. Configure a separate clang build with VANTRELL_FUZZ=ON:
#   CC=clang CXX=clang++ cmake -S . -B build/fuzz-sessions -G Ninja -DVANTRELL_FUZZ=ON -DVANTRELL_BENCH=OFF
#   cmake --build build/fuzz-sessions -j2 --target session_loader_fuzz
# VANTRELL_FUZZ instruments every object (fuzzer coverage, ASan, UBSan); only this target links
# the fuzzer's main.
add_executable(session_loader_fuzz ${CMAKE_CURRENT_LIST_DIR}/session_loader_fuzz.cpp)
target_link_libraries(session_loader_fuzz PRIVATE vantrell_core)
target_link_options(session_loader_fuzz PRIVATE -fsanitize=fuzzer)
