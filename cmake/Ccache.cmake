# Use ccache when present. Precompiled headers need the sloppiness settings,
# otherwise every PCH user misses the cache.
find_program(LUMORA_CCACHE ccache)
if(LUMORA_CCACHE)
  set(_env CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime)
  set(CMAKE_CXX_COMPILER_LAUNCHER "${CMAKE_COMMAND};-E;env;${_env};${LUMORA_CCACHE}")
  set(CMAKE_C_COMPILER_LAUNCHER "${LUMORA_CCACHE}")
endif()
