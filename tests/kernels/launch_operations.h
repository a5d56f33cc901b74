// Every launch operation of Korvex<T> by name, called with null buffers on a 4 x 4 image:
// for the tests where the launch must fail before any kernel body runs.
#pragma once

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "Korvex.h"

namespace korvex::test {

template <typename T>
struct LaunchOperation {
  std::string name;
  std::function<void(Korvex<T>&, KernelLaunch_t)> call;
};

template <typename T>
std::vector<LaunchOperation<T>> launch_operations() {
  T* r = nullptr;
  CudaComplex<T>* z = nullptr;
  const unsigned W = 4, H = 4;
  using K = Korvex<T>;
  using L = KernelLaunch_t;
  return {
      {"CuCall_Iter_Middle", [=](K& k, L l) { k.CuCall_Iter_Middle(l, z, r, W, H); }},
      {"CuCall_Iter_Final", [=](K& k, L l) { k.CuCall_Iter_Final(l, z, r, r, W, H); }},
      {"CuCall_Threshold", [=](K& k, L l) { k.CuCall_Threshold(l, r, T(1), r, W, H); }},
      {"CuCall_Criterion_L0", [=](K& k, L l) { k.CuCall_Criterion_L0(l, r, r, r, r, r, r, W, H); }},
      {"CuCall_Criterion_L1", [=](K& k, L l) { k.CuCall_Criterion_L1(l, r, r, r, W, H); }},
      {"CuCall_ComputeGradian",
       [=](K& k, L l) { k.CuCall_ComputeGradian(l, r, r, r, T(1), W, H); }},
      {"CuCall_UpdateMapping", [=](K& k, L l) { k.CuCall_UpdateMapping(l, r, T(1), r, W, H); }},
      {"CuCall_Addition", [=](K& k, L l) { k.CuCall_Addition(l, r, r, r, W, H); }},
      {"CuCall_Subtract", [=](K& k, L l) { k.CuCall_Subtract(l, r, r, r, W, H); }},
      {"CuCall_Real2Complex", [=](K& k, L l) { k.CuCall_Real2Complex(l, r, z, W, H); }},
      {"CuCall_FFTShift2D_C", [=](K& k, L l) { k.CuCall_FFTShift2D_C(l, z, z, W, H); }},
      {"CuCall_FFTShift2D_R", [=](K& k, L l) { k.CuCall_FFTShift2D_R(l, r, r, W, H); }},
      {"CuCall_R2C", [=](K& k, L l) { k.CuCall_R2C(l, r, z, W, H); }},
      {"CuCall_Abs", [=](K& k, L l) { k.CuCall_Abs(l, z, r, W, H); }},
      {"CuCall_EstimateWidefield",
       [=](K& k, L l) { k.CuCall_EstimateWidefield(l, r, r, W, H, 2); }},
      {"CuCall_Col2Row", [=](K& k, L l) { k.CuCall_Col2Row(l, r, r, W, H); }},
      {"CuCall_Row2Col", [=](K& k, L l) { k.CuCall_Row2Col(l, r, r, W, H); }},
      {"CuCall_Normalize", [=](K& k, L l) { k.CuCall_Normalize(l, z, W, H); }},
      {"CuCall_MM_Mult_RR", [=](K& k, L l) { k.CuCall_MM_Mult_RR(l, r, r, r, W, H); }},
      {"CuCall_MM_Mult_CR", [=](K& k, L l) { k.CuCall_MM_Mult_CR(l, z, r, z, W, H); }},
  };
}

// The line of the launch check inside `operation` in the kernel source: the first
// Handle_Error after the operation's definition begins.
inline int check_line(const std::string& operation) {
  std::ifstream source(KORVEX_KERNEL_SOURCE);
  std::string text;
  bool inside = false;
  for (int line = 1; std::getline(source, text); ++line) {
    if (text.find("Korvex<T>::" + operation + "(") != std::string::npos) inside = true;
    if (inside && text.find("Handle_Error(cudaGetLastError()") != std::string::npos) return line;
  }
  return -1;
}

// The complete message of Handle_Error for a launch check of the kernel unit.
inline std::string launch_error_message(cudaError_t status, int line) {
  return std::string("CUDA Error : ") + cudaGetErrorName(status) +
         " Desc. : " + cudaGetErrorString(status) +
         " | File : Korvex_Kernels | Line : " + std::to_string(line) + "\n";
}

}  // namespace korvex::test
