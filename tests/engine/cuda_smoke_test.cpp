// Loading KorvexLib and building an engine never crashes: on a machine with a usable GPU (or on
// the host backend) the engine is built; without a driver or device the constructor throws one
// of its documented messages.
#include <gtest/gtest.h>

#include <regex>
#include <stdexcept>
#include <string>

#include "Korvex.h"

namespace {

bool Is_Documented_Constructor_Message(const std::string& text) {
  static const std::regex forms[] = {
      std::regex("Cuda Runtime Version : -?[0-9]+\nCuda Driver Version  : -?[0-9]+\n"
                 "KorvexCUDA : Internal Error\\. Insufficient Driver, please update Graphics "
                 "Drivers to the latest version\n"),
      std::regex("KorvexCUDA : Internal Error\\. No CUDA Capable Device Founnd!\n"),
      std::regex("Device Compute Capability: [0-9]+\\.[0-9]+\n"
                 "KorvexCUDA : Internal Error\\. Device Architecture Not Supported\n"),
      std::regex("KorvexCUDA : Error Not enough graphic memory\\. Required:[0-9]+ MB \\| "
                 "Available: [0-9]+ MB\n"),
      std::regex("CUDA Error : [A-Za-z]+ Desc\\. : [^\n]* \\| File : Korvex \\| Line : [0-9]+\n"),
      std::regex("CUFFT ERR - [A-Z_]* in: Korvex at line: [0-9]+\n"),
      std::regex("CUBLAS ERR - [A-Z_]* in: Korvex at line: [0-9]+\n"),
  };
  for (const std::regex& form : forms) {
    if (std::regex_match(text, form)) return true;
  }
  return false;
}

TEST(CudaSmoke, EngineIsBuiltOrRefusedWithADocumentedMessage) {
  try {
    Korvex<float> engine(64, 64, 9, 10);
    EXPECT_NE(engine.d_estimate, nullptr);
    EXPECT_NE(engine.m_fftPlan, 0);
  } catch (const std::runtime_error& failure) {
    EXPECT_TRUE(Is_Documented_Constructor_Message(failure.what())) << failure.what();
  }
}

TEST(CudaSmoke, RecognisesTheDocumentedForms) {
  EXPECT_TRUE(Is_Documented_Constructor_Message(
      "Cuda Runtime Version : 13000\nCuda Driver Version  : 0\nKorvexCUDA : Internal Error. "
      "Insufficient Driver, please update Graphics Drivers to the latest version\n"));
  EXPECT_TRUE(Is_Documented_Constructor_Message(
      "CUDA Error : cudaErrorNoDevice Desc. : no CUDA-capable device is detected | File : Korvex "
      "| Line : 98\n"));
  EXPECT_FALSE(Is_Documented_Constructor_Message("Segmentation fault\n"));
}

}  // namespace
