# Fuzz builds (-DLUMORA_FUZZ=ON, clang only): every target of ours is
# instrumented for libFuzzer's coverage and checked by AddressSanitizer and
# UndefinedBehaviorSanitizer (vptr checks off: LibTorch's classes carry no
# UBSan type data). LibTorch and the system libraries stay uninstrumented.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "LUMORA_FUZZ needs clang: configure with -DCMAKE_CXX_COMPILER=clang++-14 "
                      "-DCMAKE_C_COMPILER=clang-14 (scripts/fuzz.sh does)")
endif()
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize=vptr -fno-sanitize-recover=all
                    -fno-omit-frame-pointer -g)
add_link_options(-fsanitize=address,undefined)
