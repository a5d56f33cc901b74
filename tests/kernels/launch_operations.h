// Every launch operation of Korvex<T> by name, called with null buffers on a 4 x 4 image:
// for the tests where the launch must fail before any kernel body runs.
#pragma once

#include <fstream>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "Korvex.h"

namespace korvex::test {

template <typename T>
struct LaunchOperation {
  std::string name;
  std::function<void(Korvex<T>&, KernelLaunch_t)> call;
};

// Null buffers, scalars of 1 and sizes of 4.
template <typename A>
A Null_Argument() {
  if constexpr (std::is_pointer_v<A>) {
    return nullptr;
  } else if constexpr (std::is_same_v<A, unsigned>) {
    return 4u;
  } else {
    return A(1);
  }
}

template <typename T, typename... Args>
std::function<void(Korvex<T>&, KernelLaunch_t)> Null_Call(
    void (Korvex<T>::*operation)(KernelLaunch_t, Args...)) {
  return
      [operation](Korvex<T>& k, KernelLaunch_t l) { (k.*operation)(l, Null_Argument<Args>()...); };
}

template <typename T>
std::vector<LaunchOperation<T>> Launch_Operations() {
  return {
#define KORVEX_LAUNCH_OPERATION(name, kernel, parameters, arguments) \
  {"CuCall_" #name, Null_Call<T>(&Korvex<T>::CuCall_##name)},
#include "launch_operations.def"
#undef KORVEX_LAUNCH_OPERATION
  };
}

// The line of the launch check of `operation` ("CuCall_<Name>"): that of its entry in the
// list of launch operations.
inline int Check_Line(const std::string& operation) {
  std::ifstream source(KORVEX_LAUNCH_OPERATIONS_LIST);
  const std::string entry = "KORVEX_LAUNCH_OPERATION(" + operation.substr(7) + ",";
  std::string text;
  for (int line = 1; std::getline(source, text); ++line) {
    if (text.rfind(entry, 0) == 0) return line;
  }
  return -1;
}

// The complete message of Handle_Error for a launch check of the kernel unit.
inline std::string Launch_Error_Message(cudaError_t status, int line) {
  return std::string("CUDA Error : ") + cudaGetErrorName(status) +
         " Desc. : " + cudaGetErrorString(status) +
         " | File : Korvex_Kernels | Line : " + std::to_string(line) + "\n";
}

}  // namespace korvex::test
