// The status handlers' messages, character for character, in both instantiations.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "Korvex.h"
#include "engine_run.h"

namespace {

using korvex::test::Message_Of;

template <typename T>
class HandlerTest : public ::testing::Test {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(HandlerTest, Precisions);

TYPED_TEST(HandlerTest, SuccessReturnsQuietly) {
  EXPECT_NO_THROW(Korvex<TypeParam>::Handle_Error(cudaSuccess, "Korvex", 7));
  EXPECT_NO_THROW(Korvex<TypeParam>::Handle_CuFFT(static_cast<cufftResult_t>(0), "Korvex", 7));
  EXPECT_NO_THROW(Korvex<TypeParam>::Handle_CuBLAS(static_cast<cublasStatus_t>(0), "Korvex", 7));
}

TYPED_TEST(HandlerTest, RuntimeMessageCarriesNameDescriptionUnitAndLine) {
  EXPECT_EQ(
      Message_Of([] { Korvex<TypeParam>::Handle_Error(cudaErrorMemoryAllocation, "Korvex", 7); }),
      "CUDA Error : cudaErrorMemoryAllocation Desc. : out of memory | File : Korvex | "
      "Line : 7\n");
  EXPECT_EQ(Message_Of([] {
              Korvex<TypeParam>::Handle_Error(cudaErrorInvalidValue, "Korvex_Kernels", -12);
            }),
            "CUDA Error : cudaErrorInvalidValue Desc. : invalid argument | File : Korvex_Kernels "
            "| Line : -12\n");
  // Whatever the runtime calls a status, the message quotes it unchanged.
  const cudaError_t status = cudaErrorInvalidConfiguration;
  EXPECT_EQ(Message_Of([&] { Korvex<TypeParam>::Handle_Error(status, "Korvex", 1234567); }),
            std::string("CUDA Error : ") + cudaGetErrorName(status) +
                " Desc. : " + cudaGetErrorString(status) + " | File : Korvex | Line : 1234567\n");
}

TYPED_TEST(HandlerTest, CuFFTNamesIncludingTheEmptyOnes) {
  const std::vector<std::pair<int, std::string>> table = {{1, "INVALID_PLAN"},
                                                          {2, "ALLOC_FAILED"},
                                                          {3, ""},
                                                          {4, "INVALID_VALUE"},
                                                          {5, "INTERNAL_ERROR"},
                                                          {6, "EXEC_FAILED"},
                                                          {7, "SETUP_FAILED"},
                                                          {8, "INVALID_SIZE"},
                                                          {9, ""},
                                                          {10, "INCOMPLETE_PARAMETER_LIST"},
                                                          {11, "INVALID_DEVICE"},
                                                          {12, "INTERNAL_PARSE_ERROR"},
                                                          {13, "NO_WORKSPACE"},
                                                          {14, "NOT_IMPLEMNTED"},
                                                          {15, ""},
                                                          {16, "NOT_SUPPORTED"},
                                                          {17, ""},
                                                          {20, ""},
                                                          {-1, ""}};
  for (const auto& [code, name] : table) {
    EXPECT_EQ(Message_Of([code = code] {
                Korvex<TypeParam>::Handle_CuFFT(static_cast<cufftResult_t>(code), "Korvex", 7);
              }),
              "CUFFT ERR - " + name + " in: Korvex at line: 7\n")
        << "code " << code;
  }
  EXPECT_EQ(Message_Of([] {
              Korvex<TypeParam>::Handle_CuFFT(static_cast<cufftResult_t>(14), "Korvex_Kernels", -3);
            }),
            "CUFFT ERR - NOT_IMPLEMNTED in: Korvex_Kernels at line: -3\n");
}

TYPED_TEST(HandlerTest, CuBLASNamesIncludingTheEmptyOnes) {
  const std::vector<std::pair<int, std::string>> table = {{1, "NOT_INITIALIZED"},
                                                          {2, ""},
                                                          {3, "ALLOC_FAILED"},
                                                          {4, ""},
                                                          {7, "INVALID_VALUE"},
                                                          {8, "ARCH_MISMATCH"},
                                                          {11, "MAPPING_ERROR"},
                                                          {13, "EXECUTION_FAILED"},
                                                          {14, "INTERNAL_ERROR"},
                                                          {15, "NOT_SUPPORTED"},
                                                          {16, "LICENSE_ERROR"},
                                                          {17, ""},
                                                          {-1, ""}};
  for (const auto& [code, name] : table) {
    EXPECT_EQ(Message_Of([code = code] {
                Korvex<TypeParam>::Handle_CuBLAS(static_cast<cublasStatus_t>(code),
                                                 "Korvex_Kernels", 7);
              }),
              "CUBLAS ERR - " + name + " in: Korvex_Kernels at line: 7\n")
        << "code " << code;
  }
  EXPECT_EQ(Message_Of([] {
              Korvex<TypeParam>::Handle_CuBLAS(static_cast<cublasStatus_t>(13), "Korvex", -40);
            }),
            "CUBLAS ERR - EXECUTION_FAILED in: Korvex at line: -40\n");
}

}  // namespace
