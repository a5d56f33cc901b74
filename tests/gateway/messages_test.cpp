// Every message of the gateway, the order in which faults are reported, and the release of
// kept engines on every error.
#include <cmath>
#include <functional>
#include <limits>

#include "gateway_harness.h"

namespace korvex::test {
namespace {

using mex_substitute::Make_Array;
using mex_substitute::Make_Filled;
using mex_substitute::Make_Scalar;

const std::string kUsage =
    "KorvexCUDA Invalid Amount of Input Parameters! \n"
    " #0 --> Image Sequence\n"
    " #1 --> Image Mask\n"
    " #2 --> OTF\n"
    " #3 --> Max Iteration Count\n"
    " #4 --> Convergence Threshold\n"
    " #5 --> Lambda\n"
    " #6 --> Alpha\n";
const std::string kTooManyOutputs =
    "KorvexCUDA Too Many Output Arguments! Supported are [1 - 4]!\n";
const std::string kFormat = "KorvexCUDA Requires either Single or Double Precision format!\n";
const std::string kReadIterations =
    kFormat + "KorvexCUDA Error Reading Maximum amount of Iterations!\n";
const std::string kReadThreshold = kFormat + "KorvexCUDA Error Reading Threshold!\n";
const std::string kReadAlpha = kFormat + "KorvexCUDA Error Reading Alpha!\n";
const std::string kReadLambda = kFormat + "KorvexCUDA Error Reading Lambda!\n";
const std::string kFrameMismatch = "KorvexCuda: Error Sequence Size and Mask Size not equal!\n ";
const std::string kMixedClasses =
    "KorvexCUDA ERROR: Expecting ALL data arrays to be either in single or double precision!\n";
const std::string kIterationRange =
    "KorvexCUDA Error: Maximum amount of Iterations must be a number from 0 to 4294967295!\n";
const std::string kOtfMismatchSequence =
    "KorvexCUDA Error: Image Sequence height and width differ from the OTF's!\n";
const std::string kOtfMismatchMask =
    "KorvexCUDA Error: Image Mask height and width differ from the OTF's!\n";
const std::string kEmptyImage =
    "KorvexCUDA Error: Empty image! Height, width and frame count must be at least 1!\n";

using Mutation = std::function<void(ReconstructionInputs&)>;

struct FaultCase {
  const char* name;
  Mutation mutate;
  std::string message;
};

class GatewayMessages : public GatewayTest {
 protected:
  // Runs the faulty call after a successful one, so that an engine is kept when it arrives.
  void Expect_Fault(const FaultCase& fault, mxClassID dataClass = mxSINGLE_CLASS) {
    SCOPED_TRACE(fault.name);
    Reconstruct(Valid_Inputs(dataClass));
    ASSERT_TRUE(Computing_S != nullptr || Computing_D != nullptr);
    ReconstructionInputs inputs = Valid_Inputs(dataClass);
    fault.mutate(inputs);
    const CallResult result = Call(1, inputs.Inputs());
    ASSERT_TRUE(result.error.has_value());
    EXPECT_EQ(*result.error, fault.message);
    EXPECT_EQ(Computing_S, nullptr);
    EXPECT_EQ(Computing_D, nullptr);
  }
};

void Set_Dims(ArrayPtr& array, mxClassID dataClass, const std::vector<mwSize>& dims) {
  array = Make_Array(dataClass, dims);
}

TEST_F(GatewayMessages, OutputAndInputCounts) {
  ReconstructionInputs inputs = Valid_Inputs(mxDOUBLE_CLASS);
  const std::vector<const mxArray*> seven = inputs.Inputs();
  for (size_t count = 0; count <= 9; ++count) {
    if (count == 1 || count == 7) continue;
    SCOPED_TRACE(count);
    Reconstruct(inputs);
    std::vector<const mxArray*> some(count, inputs.alpha.get());
    std::copy(seven.begin(), seven.begin() + static_cast<long>(std::min<size_t>(count, 7)),
              some.begin());
    const CallResult result = Call(1, some);
    EXPECT_EQ(result.error, kUsage);
    EXPECT_EQ(Computing_D, nullptr);
  }
  // The output count is examined first, also on a request to clear memory.
  for (size_t count : {0, 1, 3, 7}) {
    SCOPED_TRACE(count);
    Reconstruct(inputs);
    const std::vector<const mxArray*> some(seven.begin(), seven.begin() + static_cast<long>(count));
    EXPECT_EQ(Call(5, some).error, kTooManyOutputs);
    EXPECT_EQ(Computing_D, nullptr);
  }
}

TEST_F(GatewayMessages, ClearMemoryWithAnOutputReleasesThenComplains) {
  Reconstruct(Valid_Inputs(mxSINGLE_CLASS));
  ArrayPtr anything = Make_Array(mxCHAR_CLASS, {1, 3});
  const CallResult result = Call(1, {anything.get()});
  EXPECT_EQ(result.error, "KorvexCuda: Error no output allowed during request to clear memory!\n");
  EXPECT_EQ(Computing_S, nullptr);
  EXPECT_EQ(result.outputs[0], nullptr);
}

TEST_F(GatewayMessages, ScalarSettingsOfOtherClasses) {
  for (mxClassID badClass : {mxINT32_CLASS, mxCHAR_CLASS, mxLOGICAL_CLASS, mxCELL_CLASS}) {
    SCOPED_TRACE(badClass);
    const auto bad = [badClass](ArrayPtr& setting) { setting = Make_Array(badClass, {1, 1}); };
    Expect_Fault({"iterations", [&](auto& in) { bad(in.maxIterations); }, kReadIterations});
    Expect_Fault({"threshold", [&](auto& in) { bad(in.threshold); }, kReadThreshold});
    Expect_Fault({"alpha", [&](auto& in) { bad(in.alpha); }, kReadAlpha});
    Expect_Fault({"lambda", [&](auto& in) { bad(in.lambda); }, kReadLambda});
  }
}

TEST_F(GatewayMessages, EmptyOrSparseSettings) {
  const auto empty = [](ArrayPtr& setting) { setting = Make_Array(mxDOUBLE_CLASS, {0, 0}); };
  const auto sparse = [](ArrayPtr& setting) { mex_substitute::Set_Sparse(setting.get()); };
  for (const auto& spoil :
       {std::function<void(ArrayPtr&)>(empty), std::function<void(ArrayPtr&)>(sparse)}) {
    Expect_Fault({"iterations", [&](auto& in) { spoil(in.maxIterations); },
                  "KorvexCUDA Error: Maximum amount of Iterations must not be empty or sparse!\n"});
    Expect_Fault({"threshold", [&](auto& in) { spoil(in.threshold); },
                  "KorvexCUDA Error: Threshold must not be empty or sparse!\n"});
    Expect_Fault({"alpha", [&](auto& in) { spoil(in.alpha); },
                  "KorvexCUDA Error: Alpha must not be empty or sparse!\n"});
    Expect_Fault({"lambda", [&](auto& in) { spoil(in.lambda); },
                  "KorvexCUDA Error: Lambda must not be empty or sparse!\n"});
  }
}

TEST_F(GatewayMessages, IterationLimitOutOfRange) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (double value : {-1.0, -0.5, 4294967296.0, 4294967295.5, nan, inf, -inf}) {
    SCOPED_TRACE(value);
    Expect_Fault(
        {"double", [&](auto& in) { in.maxIterations = Make_Scalar(value); }, kIterationRange});
    Expect_Fault({"single",
                  [&](auto& in) { in.maxIterations = Make_Scalar(value, mxSINGLE_CLASS); },
                  kIterationRange});
  }
}

TEST_F(GatewayMessages, LambdaNotFinite) {
  for (double value :
       {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
        -std::numeric_limits<double>::infinity()}) {
    SCOPED_TRACE(value);
    Expect_Fault({"lambda", [&](auto& in) { in.lambda = Make_Scalar(value, mxSINGLE_CLASS); },
                  "KorvexCUDA Error: Lambda must be finite!\n"});
  }
}

TEST_F(GatewayMessages, DataArrayShapes) {
  for (mxClassID c : {mxSINGLE_CLASS, mxDOUBLE_CLASS}) {
    SCOPED_TRACE(c);
    const FaultCase faults[] = {
        {"mask frames",
         [&](auto& in) {
           Set_Dims(in.mask, c, {4, 6, 3});
         },
         kFrameMismatch},
        {"2-D mask with two frames",
         [&](auto& in) {
           Set_Dims(in.mask, c, {4, 6});
         },
         kFrameMismatch},
        {"4-D sequence",
         [&](auto& in) {
           Set_Dims(in.sequence, c, {4, 6, 2, 2});
         },
         "KorvexCUDA Error: Image Sequence has more than 3 dimensions!\n"},
        {"4-D mask",
         [&](auto& in) {
           Set_Dims(in.mask, c, {4, 6, 2, 2});
         },
         "KorvexCUDA Error: Image Mask has more than 3 dimensions!\n"},
        {"3-D OTF",
         [&](auto& in) {
           Set_Dims(in.otf, c, {4, 6, 2});
         },
         "KorvexCUDA Error: OTF has more than 2 dimensions!\n"},
        {"sequence rows",
         [&](auto& in) {
           Set_Dims(in.sequence, c, {3, 6, 2});
         },
         kOtfMismatchSequence},
        {"sequence columns",
         [&](auto& in) {
           Set_Dims(in.sequence, c, {4, 7, 2});
         },
         kOtfMismatchSequence},
        {"sequence transposed",
         [&](auto& in) {
           Set_Dims(in.sequence, c, {6, 4, 2});
         },
         kOtfMismatchSequence},
        {"mask rows",
         [&](auto& in) {
           Set_Dims(in.mask, c, {5, 6, 2});
         },
         kOtfMismatchMask},
        {"empty frames",
         [&](auto& in) {
           Set_Dims(in.sequence, c, {4, 6, 0});
           Set_Dims(in.mask, c, {4, 6, 0});
         },
         kEmptyImage},
        {"empty rows",
         [&](auto& in) {
           Set_Dims(in.sequence, c, {0, 6, 2});
           Set_Dims(in.mask, c, {0, 6, 2});
           Set_Dims(in.otf, c, {0, 6});
         },
         kEmptyImage},
        {"empty columns",
         [&](auto& in) {
           Set_Dims(in.sequence, c, {4, 0, 2});
           Set_Dims(in.mask, c, {4, 0, 2});
           Set_Dims(in.otf, c, {4, 0});
         },
         kEmptyImage},
    };
    for (const FaultCase& fault : faults) Expect_Fault(fault, c);
  }
}

TEST_F(GatewayMessages, DataArrayClasses) {
  const FaultCase faults[] = {
      {"double OTF",
       [](auto& in) {
         Set_Dims(in.otf, mxDOUBLE_CLASS, {4, 6});
       },
       kMixedClasses},
      {"double mask",
       [](auto& in) {
         Set_Dims(in.mask, mxDOUBLE_CLASS, {4, 6, 2});
       },
       kMixedClasses},
      {"int32 sequence",
       [](auto& in) {
         Set_Dims(in.sequence, mxINT32_CLASS, {4, 6, 2});
       },
       kMixedClasses},
      {"complex sequence",
       [](auto& in) {
         in.sequence = Make_Array(mxSINGLE_CLASS, {4, 6, 2}, mxCOMPLEX);
       },
       "KorvexCUDA Error: Complex data arrays are not supported!\n"},
      {"complex OTF",
       [](auto& in) {
         in.otf = Make_Array(mxSINGLE_CLASS, {4, 6}, mxCOMPLEX);
       },
       "KorvexCUDA Error: Complex data arrays are not supported!\n"},
      {"sparse mask", [](auto& in) { mex_substitute::Set_Sparse(in.mask.get()); },
       "KorvexCUDA Error: Sparse data arrays are not supported!\n"},
  };
  for (const FaultCase& fault : faults) Expect_Fault(fault, mxSINGLE_CLASS);
}

// With several faults in one call the first in the order of the checks is reported.
TEST_F(GatewayMessages, FirstFaultWins) {
  const auto int32 = [](ArrayPtr& a) { a = Make_Array(mxINT32_CLASS, {1, 1}); };
  const FaultCase faults[] = {
      {"#3 before #4",
       [&](auto& in) {
         int32(in.maxIterations);
         int32(in.threshold);
       },
       kReadIterations},
      {"#4 before #6",
       [&](auto& in) {
         int32(in.threshold);
         int32(in.alpha);
       },
       kReadThreshold},
      {"#6 before #5",
       [&](auto& in) {
         int32(in.alpha);
         int32(in.lambda);
       },
       kReadAlpha},
      {"iteration range before #4 class",
       [&](auto& in) {
         in.maxIterations = Make_Scalar(-3);
         int32(in.threshold);
       },
       kIterationRange},
      {"#5 class before frame counts",
       [&](auto& in) {
         int32(in.lambda);
         Set_Dims(in.mask, mxSINGLE_CLASS, {4, 6, 5});
       },
       kReadLambda},
      {"lambda value before frame counts",
       [&](auto& in) {
         in.lambda = Make_Scalar(std::nan(""));
         Set_Dims(in.mask, mxSINGLE_CLASS, {4, 6, 5});
       },
       "KorvexCUDA Error: Lambda must be finite!\n"},
      {"frame counts before OTF extents",
       [&](auto& in) {
         Set_Dims(in.mask, mxSINGLE_CLASS, {2, 2, 5});
       },
       kFrameMismatch},
      {"frame counts before data classes",
       [&](auto& in) {
         Set_Dims(in.mask, mxDOUBLE_CLASS, {4, 6, 5});
       },
       kFrameMismatch},
      {"sequence extents before mask extents",
       [&](auto& in) {
         Set_Dims(in.sequence, mxSINGLE_CLASS, {2, 6, 2});
         Set_Dims(in.mask, mxSINGLE_CLASS, {4, 2, 2});
       },
       kOtfMismatchSequence},
      {"OTF extents before data classes",
       [&](auto& in) {
         Set_Dims(in.mask, mxDOUBLE_CLASS, {4, 5, 2});
       },
       kOtfMismatchMask},
      {"data classes before complexity",
       [&](auto& in) {
         in.sequence = Make_Array(mxSINGLE_CLASS, {4, 6, 2}, mxCOMPLEX);
         Set_Dims(in.otf, mxDOUBLE_CLASS, {4, 6});
       },
       kMixedClasses},
  };
  for (const FaultCase& fault : faults) Expect_Fault(fault, mxSINGLE_CLASS);
}

}  // namespace
}  // namespace korvex::test
