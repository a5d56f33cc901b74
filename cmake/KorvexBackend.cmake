# Chooses the backend: `cuda` (nvcc, a real GPU) or `host` (the CPU implementation of the
# platform under platform/host). The default `auto` takes cuda where the toolkit is found
# and a GPU is visible, host otherwise.
set(KORVEX_BACKEND "auto" CACHE STRING "Backend: auto, cuda or host")
set_property(CACHE KORVEX_BACKEND PROPERTY STRINGS auto cuda host)

find_program(KORVEX_NVCC nvcc HINTS ENV CUDA_PATH PATHS /usr/local/cuda/bin PATH_SUFFIXES bin)

if(KORVEX_BACKEND STREQUAL "auto")
  set(KORVEX_BACKEND "host")
  if(KORVEX_NVCC)
    find_program(KORVEX_NVIDIA_SMI nvidia-smi)
    if(KORVEX_NVIDIA_SMI)
      execute_process(COMMAND ${KORVEX_NVIDIA_SMI} -L OUTPUT_VARIABLE _korvex_gpus
                      RESULT_VARIABLE _korvex_smi_rc ERROR_QUIET)
      if(_korvex_smi_rc EQUAL 0 AND _korvex_gpus MATCHES "GPU [0-9]")
        set(KORVEX_BACKEND "cuda")
      endif()
    endif()
  endif()
  message(STATUS "Korvex backend (auto): ${KORVEX_BACKEND}")
endif()

if(NOT KORVEX_BACKEND MATCHES "^(cuda|host)$")
  message(FATAL_ERROR "KORVEX_BACKEND must be auto, cuda or host, not '${KORVEX_BACKEND}'")
endif()

if(KORVEX_BACKEND STREQUAL "cuda")
  if(NOT KORVEX_NVCC)
    message(FATAL_ERROR "KORVEX_BACKEND=cuda needs nvcc (the CUDA toolkit)")
  endif()
  # Machine code only (no PTX) for every architecture from sm_75 up that the toolkit lists:
  # current cuFFT and cuBLAS support nothing older, and a GPU without code of its own fails
  # every launch. The family variants (sm_90a, sm_100f, ...) are left out.
  execute_process(COMMAND ${KORVEX_NVCC} --list-gpu-code OUTPUT_VARIABLE _korvex_codes
                  RESULT_VARIABLE _korvex_rc ERROR_QUIET)
  string(REGEX MATCHALL "sm_[0-9]+[\r\n]" _korvex_listed "${_korvex_codes}")
  set(_korvex_numbers "")
  foreach(_code IN LISTS _korvex_listed)
    string(REGEX MATCH "[0-9]+" _arch "${_code}")
    if(_arch GREATER_EQUAL 75)
      list(APPEND _korvex_numbers ${_arch})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES _korvex_numbers)
  list(SORT _korvex_numbers COMPARE NATURAL)
  if(NOT _korvex_numbers)
    message(FATAL_ERROR "nvcc at ${KORVEX_NVCC} builds no architecture from sm_75 up")
  endif()
  list(TRANSFORM _korvex_numbers APPEND "-real" OUTPUT_VARIABLE _korvex_archs)
  if(NOT DEFINED CMAKE_CUDA_ARCHITECTURES)
    set(CMAKE_CUDA_ARCHITECTURES ${_korvex_archs})
  endif()
  if(NOT CMAKE_CUDA_COMPILER)
    set(CMAKE_CUDA_COMPILER ${KORVEX_NVCC})
  endif()
  enable_language(CUDA)
  find_package(CUDAToolkit REQUIRED)
  message(STATUS "Korvex CUDA architectures: ${CMAKE_CUDA_ARCHITECTURES}")
  # The engine refuses devices below the oldest architecture built (compute capability as
  # 10 x major + minor). A symbolic list (native, all) leaves it to the kernel-image probe.
  set(KORVEX_MIN_COMPUTE_CAPABILITY 75)
  set(_korvex_built "")
  foreach(_arch IN LISTS CMAKE_CUDA_ARCHITECTURES)
    if(_arch MATCHES "^([0-9]+)")
      list(APPEND _korvex_built ${CMAKE_MATCH_1})
    endif()
  endforeach()
  if(_korvex_built)
    list(SORT _korvex_built COMPARE NATURAL)
    list(GET _korvex_built 0 KORVEX_MIN_COMPUTE_CAPABILITY)
  endif()
else()
  # The host backend runs every kernel; it keeps the engine's historical floor of 6.0.
  set(KORVEX_MIN_COMPUTE_CAPABILITY 60)
endif()
