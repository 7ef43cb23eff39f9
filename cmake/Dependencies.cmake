# Dependency discovery. Everything comes from Debian's archive
# (scripts/install-deps.sh); LibTorch 2.x (CPU view or CUDA) from the PyPI
# torch wheel (scripts/libtorch2.sh) is found the same way, through
# CMAKE_PREFIX_PATH or Torch_DIR.

# TorchConfig.cmake finds its Caffe2 targets with find_package(Caffe2 PATHS
# <beside it>), which tries the system folders first: where Debian's LibTorch
# 1.13 is installed too, a 2.x Torch_DIR linked Debian's libtorch. Its own
# Caffe2 comes first; a mismatch that slips through stops the configuration.
if(Torch_DIR AND NOT Caffe2_DIR AND EXISTS "${Torch_DIR}/../Caffe2/Caffe2Config.cmake")
  get_filename_component(Caffe2_DIR "${Torch_DIR}/../Caffe2" ABSOLUTE)
  set(Caffe2_DIR "${Caffe2_DIR}" CACHE PATH "Caffe2 of the LibTorch in Torch_DIR")
  if(EXISTS "${Torch_DIR}/../../../lib/libtorch.so")
    get_filename_component(_torch_so "${Torch_DIR}/../../../lib/libtorch.so" ABSOLUTE)
    set(TORCH_LIBRARY "${_torch_so}" CACHE FILEPATH "libtorch of the LibTorch in Torch_DIR")
  endif()
endif()
find_package(Torch REQUIRED)
if(Caffe2_DIR)
  get_filename_component(_caffe2_found "${Caffe2_DIR}" REALPATH)
  get_filename_component(_caffe2_beside "${Torch_DIR}/../Caffe2" REALPATH)
  if(EXISTS "${_caffe2_beside}" AND NOT _caffe2_found STREQUAL _caffe2_beside)
    message(FATAL_ERROR "Torch_DIR=${Torch_DIR} but Caffe2_DIR=${Caffe2_DIR}: two LibTorch installations "
                        "are mixed; set -DCaffe2_DIR=${_caffe2_beside}")
  endif()
endif()
# A wheel's TorchConfig.cmake looks c10 up with find_library(... PATHS <its
# lib>), which tries the system folders first: where Debian's LibTorch 1.13 is
# installed too, Debian's libc10 got into a 2.x build. The c10 beside the
# LibTorch found is the one to link.
get_filename_component(_torch_lib "${Torch_DIR}/../../../lib" ABSOLUTE)
if(c10_LIBRARY AND EXISTS "${_torch_lib}/libc10.so" AND NOT c10_LIBRARY STREQUAL "${_torch_lib}/libc10.so")
  list(FIND TORCH_LIBRARIES "${c10_LIBRARY}" _at)
  if(_at GREATER -1)
    list(REMOVE_AT TORCH_LIBRARIES ${_at})
    list(INSERT TORCH_LIBRARIES ${_at} "${_torch_lib}/libc10.so")
  endif()
  set(c10_LIBRARY "${_torch_lib}/libc10.so" CACHE FILEPATH "c10 of the LibTorch found" FORCE)
endif()
add_library(lumora_torch INTERFACE)
target_link_libraries(lumora_torch INTERFACE ${TORCH_LIBRARIES})
add_library(lumora::torch ALIAS lumora_torch)
if(Torch_VERSION)
  string(REGEX MATCH "^([0-9]+)\\.([0-9]+)" _ "${Torch_VERSION}")
  set(LUMORA_TORCH_VERSION_MAJOR ${CMAKE_MATCH_1})
  set(LUMORA_TORCH_VERSION_MINOR ${CMAKE_MATCH_2})
else()
  set(LUMORA_TORCH_VERSION_MAJOR 1)
  set(LUMORA_TORCH_VERSION_MINOR 0)
endif()

# The wheel's libraries carry parts of a newer libstdc++ and export them
# (libtorch.so: std::filesystem::remove_all, which calls a weak symbol that
# Debian 12's libstdc++ lacks, so it jumped to address 0). Naming libstdc++
# first makes every std:: symbol of ours bind to the system's own copy.
if(LUMORA_TORCH_VERSION_MAJOR GREATER_EQUAL 2 AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_link_options("LINKER:--push-state,--no-as-needed,-lstdc++,--pop-state")
endif()

# AUTO: CUDA code paths when LibTorch has CUDA; ON: require it; OFF: CPU only.
set(LUMORA_CUDA AUTO CACHE STRING "Build the CUDA code paths: AUTO, ON or OFF")
set_property(CACHE LUMORA_CUDA PROPERTY STRINGS AUTO ON OFF)
if(TARGET torch_cuda OR TORCH_CUDA_LIBRARIES)
  set(_torch_cuda 1)
else()
  set(_torch_cuda 0)
endif()
if(LUMORA_CUDA STREQUAL "ON" AND NOT _torch_cuda)
  message(FATAL_ERROR "LUMORA_CUDA=ON needs a LibTorch with CUDA (Torch_DIR=${Torch_DIR}): "
                      "scripts/libtorch2.sh cuda prints the arguments for one")
endif()
if(_torch_cuda AND NOT LUMORA_CUDA STREQUAL "OFF")
  set(LUMORA_HAVE_CUDA 1)
else()
  set(LUMORA_HAVE_CUDA 0)
endif()
message(STATUS "LibTorch ${Torch_VERSION} (CUDA: ${LUMORA_HAVE_CUDA})")

find_package(fmt REQUIRED)
# LibTorch 2.x ships its own {fmt} headers (12.x) inside its include folder,
# which would shadow the {fmt} whose library we link (Debian's 9.x) and leave
# its symbols undefined. A folder of ours that names only that {fmt} comes
# first.
set(_fmt_first "")
foreach(_dir IN LISTS TORCH_INCLUDE_DIRS)
  if(EXISTS "${_dir}/fmt/format.h" AND NOT _fmt_first)
    get_target_property(_fmt_dirs fmt::fmt INTERFACE_INCLUDE_DIRECTORIES)
    foreach(_f IN LISTS _fmt_dirs)
      if(EXISTS "${_f}/fmt/format.h" AND NOT _f STREQUAL _dir AND NOT _fmt_first)
        set(_fmt_first "${PROJECT_BINARY_DIR}/generated/fmt-first")
        file(MAKE_DIRECTORY "${_fmt_first}")
        file(CREATE_LINK "${_f}/fmt" "${_fmt_first}/fmt" SYMBOLIC)
      endif()
    endforeach()
  endif()
endforeach()
target_include_directories(lumora_torch SYSTEM INTERFACE ${_fmt_first} ${TORCH_INCLUDE_DIRS})

find_package(PkgConfig REQUIRED)
pkg_check_modules(MATIO REQUIRED IMPORTED_TARGET matio)
pkg_check_modules(DEFLATE REQUIRED IMPORTED_TARGET libdeflate)
find_package(ZLIB REQUIRED)

find_package(CLI11 REQUIRED)

find_package(nlohmann_json REQUIRED)

# The converter alone needs GDAL and the HDF5 C API.
set(LUMORA_HAVE_GDAL 0)
set(LUMORA_HAVE_HDF5 0)
if(LUMORA_WITH_CONVERT)
  if(LUMORA_WITH_GDAL)
    find_package(GDAL CONFIG QUIET)
    if(NOT GDAL_FOUND)
      find_package(GDAL QUIET)
    endif()
    if(GDAL_FOUND)
      set(LUMORA_HAVE_GDAL 1)
    else()
      message(WARNING "GDAL not found: lumora-convert will report it missing")
    endif()
  endif()
  if(LUMORA_WITH_HDF5)
    find_package(HDF5 COMPONENTS C QUIET)
    if(HDF5_FOUND)
      set(LUMORA_HAVE_HDF5 1)
      add_library(lumora_hdf5 INTERFACE)
      target_link_libraries(lumora_hdf5 INTERFACE ${HDF5_C_LIBRARIES})
      target_include_directories(lumora_hdf5 SYSTEM INTERFACE ${HDF5_C_INCLUDE_DIRS})
      add_library(lumora::hdf5 ALIAS lumora_hdf5)
    else()
      message(WARNING "HDF5 not found: lumora-convert will report it missing")
    endif()
  endif()
endif()

# Cairo draws the legends and training curves; without it they are skipped.
set(LUMORA_HAVE_CAIRO 0)
if(LUMORA_WITH_CAIRO)
  pkg_check_modules(CAIRO QUIET IMPORTED_TARGET cairo)
  if(CAIRO_FOUND)
    set(LUMORA_HAVE_CAIRO 1)
  else()
    message(WARNING "Cairo not found: legends and training curves will be skipped")
  endif()
endif()

if(LUMORA_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
  # Debian's interpreter carries python3-torch and python3-scipy; another
  # python3 earlier on PATH (pyenv, venv) usually lacks them.
  if(NOT Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
    set(Python3_EXECUTABLE /usr/bin/python3)
  endif()
  find_package(Python3 COMPONENTS Interpreter)
  # PyTorch 2.x for the interoperability checks, where scripts/libtorch2.sh
  # installed it (its default cache folder), or given.
  set(_torch2_python "$ENV{HOME}/.cache/lumora/torch-2.11.0/python3")
  if(DEFINED ENV{LUMORA_CACHE})
    set(_torch2_python "$ENV{LUMORA_CACHE}/torch-2.11.0/python3")
  endif()
  set(LUMORA_TORCH2_PYTHON "" CACHE FILEPATH "Python interpreter with PyTorch 2.x (optional)")
  if(NOT LUMORA_TORCH2_PYTHON AND EXISTS "${_torch2_python}")
    set(LUMORA_TORCH2_PYTHON "${_torch2_python}" CACHE FILEPATH "Python interpreter with PyTorch 2.x (optional)" FORCE)
  endif()
endif()
if(LUMORA_BUILD_BENCH)
  find_package(benchmark QUIET)
endif()
