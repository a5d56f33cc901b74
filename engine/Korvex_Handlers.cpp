// Status handlers: every platform status the engine examines passes through one of these,
// which turn a failure into a std::runtime_error naming it, the source unit and the line.
#include <stdexcept>
#include <string>

#include "Korvex.h"

namespace {

// The names are the engine's own fixed texts, not the library's: some codes deliberately
// have none, and the installed headers lack some enumerators, so the switch is on the value.
const char* CuFFT_Name(int code) {
  switch (code) {
    case 1:
      return "INVALID_PLAN";
    case 2:
      return "ALLOC_FAILED";
    case 4:
      return "INVALID_VALUE";
    case 5:
      return "INTERNAL_ERROR";
    case 6:
      return "EXEC_FAILED";
    case 7:
      return "SETUP_FAILED";
    case 8:
      return "INVALID_SIZE";
    case 10:
      return "INCOMPLETE_PARAMETER_LIST";
    case 11:
      return "INVALID_DEVICE";
    case 12:
      return "INTERNAL_PARSE_ERROR";
    case 13:
      return "NO_WORKSPACE";
    case 14:
      return "NOT_IMPLEMNTED";
    case 16:
      return "NOT_SUPPORTED";
    default:
      return "";
  }
}

const char* CuBLAS_Name(int code) {
  switch (code) {
    case 1:
      return "NOT_INITIALIZED";
    case 3:
      return "ALLOC_FAILED";
    case 7:
      return "INVALID_VALUE";
    case 8:
      return "ARCH_MISMATCH";
    case 11:
      return "MAPPING_ERROR";
    case 13:
      return "EXECUTION_FAILED";
    case 14:
      return "INTERNAL_ERROR";
    case 15:
      return "NOT_SUPPORTED";
    case 16:
      return "LICENSE_ERROR";
    default:
      return "";
  }
}

// std::to_string ignores the global locale, so no digit grouping can creep in.
[[noreturn]] void Throw_Library_Error(const char* prefix, const char* name, const char* file,
                                      int line) {
  throw std::runtime_error(std::string(prefix) + name + " in: " + file +
                           " at line: " + std::to_string(line) + "\n");
}

}  // namespace

template <typename T>
void Korvex<T>::Handle_Error(cudaError status, const char* file, int line) {
  if (status == cudaSuccess) return;
  throw std::runtime_error(std::string("CUDA Error : ") + cudaGetErrorName(status) +
                           " Desc. : " + cudaGetErrorString(status) + " | File : " + file +
                           " | Line : " + std::to_string(line) + "\n");
}

template <typename T>
void Korvex<T>::Handle_CuFFT(cufftResult_t result, const char* file, int line) {
  const int code = static_cast<int>(result);
  if (code == 0) return;
  Throw_Library_Error("CUFFT ERR - ", CuFFT_Name(code), file, line);
}

template <typename T>
void Korvex<T>::Handle_CuBLAS(cublasStatus_t status, const char* file, int line) {
  const int code = static_cast<int>(status);
  if (code == 0) return;
  Throw_Library_Error("CUBLAS ERR - ", CuBLAS_Name(code), file, line);
}

template void Korvex<float>::Handle_Error(cudaError, const char*, int);
template void Korvex<float>::Handle_CuFFT(cufftResult_t, const char*, int);
template void Korvex<float>::Handle_CuBLAS(cublasStatus_t, const char*, int);
template void Korvex<double>::Handle_Error(cudaError, const char*, int);
template void Korvex<double>::Handle_CuFFT(cufftResult_t, const char*, int);
template void Korvex<double>::Handle_CuBLAS(cublasStatus_t, const char*, int);
