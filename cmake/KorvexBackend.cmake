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
  # Machine code only (no PTX) for every architecture of our list the toolkit can build.
  set(_korvex_wanted 50 52 53 60 61 62 70 72 75 80 86 87 89 90)
  execute_process(COMMAND ${KORVEX_NVCC} --list-gpu-code OUTPUT_VARIABLE _korvex_codes
                  RESULT_VARIABLE _korvex_rc ERROR_QUIET)
  set(_korvex_archs "")
  foreach(_arch IN LISTS _korvex_wanted)
    if(_korvex_codes MATCHES "sm_${_arch}[\r\n]")
      list(APPEND _korvex_archs "${_arch}-real")
    endif()
  endforeach()
  if(NOT _korvex_archs)
    message(FATAL_ERROR "nvcc at ${KORVEX_NVCC} builds none of the supported architectures")
  endif()
  if(NOT DEFINED CMAKE_CUDA_ARCHITECTURES)
    set(CMAKE_CUDA_ARCHITECTURES ${_korvex_archs})
  endif()
  if(NOT CMAKE_CUDA_COMPILER)
    set(CMAKE_CUDA_COMPILER ${KORVEX_NVCC})
  endif()
  enable_language(CUDA)
  find_package(CUDAToolkit REQUIRED)
  message(STATUS "Korvex CUDA architectures: ${CMAKE_CUDA_ARCHITECTURES}")
endif()
