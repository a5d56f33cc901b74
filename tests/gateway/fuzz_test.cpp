// Seeded fuzzing of mexFunction through the MEX substitute: random argument and output counts,
// every class, complex and sparse arrays, 0 to 4 dimensions with extents up to 40, matching
// and mismatched geometries, and values that are NaN, infinite, negative or huge. Every call
// must return or raise through mexErrMsgTxt with a message of the system's own, lock no caller
// memory past its end, write none of its inputs and keep at most one engine; well-formed calls
// must succeed. KORVEX_FUZZ_CASES and KORVEX_FUZZ_SEED widen a run by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "gateway_harness.h"
#include "host/host_control.h"
#include "platform_faults.h"

namespace korvex::test {
namespace {

using mex_substitute::Make_Array;
using mex_substitute::Set_Sparse;

constexpr unsigned kDefaultCases = 20000;
constexpr unsigned kDefaultSeed = 20240611;
constexpr unsigned kClearEvery = 1000;
// Iteration limits stay small: a reconstruction is run for every well-formed call, and a
// limit near 2^32 asks for a history buffer of that many values.
const double kIterationLimits[] = {0, 1, 2, 3, 2.9, 0.5, -0.0};
const double kBadIterationLimits[] = {-1,
                                      -0.5,
                                      4294967296.0,
                                      1e300,
                                      std::numeric_limits<double>::infinity(),
                                      -std::numeric_limits<double>::infinity(),
                                      std::numeric_limits<double>::quiet_NaN()};

const mxClassID kAllClasses[] = {mxDOUBLE_CLASS, mxSINGLE_CLASS, mxINT8_CLASS,    mxUINT8_CLASS,
                                 mxINT16_CLASS,  mxUINT16_CLASS, mxINT32_CLASS,   mxUINT32_CLASS,
                                 mxINT64_CLASS,  mxUINT64_CLASS, mxCHAR_CLASS,    mxLOGICAL_CLASS,
                                 mxCELL_CLASS,   mxSTRUCT_CLASS, mxFUNCTION_CLASS};

unsigned Env_Or(const char* name, unsigned fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? static_cast<unsigned>(std::strtoul(text, nullptr, 10))
                                          : fallback;
}

size_t Element_Bytes(mxClassID classId) {
  switch (classId) {
    case mxDOUBLE_CLASS:
    case mxINT64_CLASS:
    case mxUINT64_CLASS:
      return 8;
    case mxSINGLE_CLASS:
    case mxINT32_CLASS:
    case mxUINT32_CLASS:
      return 4;
    case mxCHAR_CLASS:
    case mxINT16_CLASS:
    case mxUINT16_CLASS:
      return 2;
    case mxLOGICAL_CLASS:
    case mxINT8_CLASS:
    case mxUINT8_CLASS:
      return 1;
    default:
      return 0;  // cells, structs, function handles: no numeric data
  }
}

// The raw bytes an array holds, to prove that a call wrote none of its inputs.
std::vector<unsigned char> Bytes_Of(const mxArray* array) {
  const size_t bytes = mxGetNumberOfElements(array) * Element_Bytes(mxGetClassID(array)) *
                       (mxIsComplex(array) ? 2 : 1);
  const auto* data = static_cast<const unsigned char*>(mxGetData(array));
  if (data == nullptr || bytes == 0) return {};
  return std::vector<unsigned char>(data, data + bytes);
}

class Generator {
 public:
  explicit Generator(unsigned seed) : random_(seed) {}

  struct Case {
    int nlhs = 0;
    std::vector<ArrayPtr> owned;
    std::vector<const mxArray*> prhs;
    bool wellFormed = false;  // every check of the gateway passes: the call must succeed
    std::string summary;
    // A platform call made to fail, as a device might: operation, which call, status.
    std::string failOperation;
    unsigned failNth = 0;
    int failStatus = 0;
  };

  Case Next() {
    Case c;
    const unsigned kind = Below(100);
    if (kind < 5) {
      Well_Formed(c, 1);
      Platform_Fault(c);
    } else if (kind < 30) {
      Well_Formed(c, 1);
    } else if (kind < 75) {
      Well_Formed(c, Chance(8) ? 0 : 1);
      Spoil(c);
    } else {
      Anything(c);
    }
    return c;
  }

 private:
  unsigned Below(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(random_); }
  bool Chance(unsigned percent) { return Below(100) < percent; }
  template <typename T, size_t N>
  const T& Pick(const T (&items)[N]) {
    return items[Below(N)];
  }

  // Mostly tiny, now and then up to the largest extent.
  mwSize Extent(mwSize least) {
    if (Chance(4)) return least + Below(41 - static_cast<unsigned>(least));
    return least + Below(6);
  }

  double Value(bool single) {
    const double huge = single ? static_cast<double>(std::numeric_limits<float>::max()) : 1e300;
    switch (Below(12)) {
      case 0:
        return std::numeric_limits<double>::quiet_NaN();
      case 1:
        return Chance(50) ? std::numeric_limits<double>::infinity()
                          : -std::numeric_limits<double>::infinity();
      case 2:
        return Chance(50) ? huge : -huge;
      case 3:
        return -std::uniform_real_distribution<double>(0, 10)(random_);
      case 4:
        return Chance(50) ? 0.0 : -0.0;
      case 5:
        return single ? 1e-40 : 4e-320;  // subnormal
      default:
        return std::uniform_real_distribution<double>(0, 10)(random_);
    }
  }

  // Values the reconstruction is meant for (in most arrays), or any value at all.
  void Fill(mxArray* array) {
    const mxClassID classId = mxGetClassID(array);
    const size_t count = mxGetNumberOfElements(array) * (mxIsComplex(array) ? 2 : 1);
    void* data = mxGetData(array);
    if (data == nullptr || count == 0) return;
    const bool wild = Chance(30);
    if (classId == mxDOUBLE_CLASS || classId == mxSINGLE_CLASS) {
      const bool single = classId == mxSINGLE_CLASS;
      for (size_t i = 0; i < count; ++i) {
        const double v =
            wild ? Value(single) : std::uniform_real_distribution<double>(0, 4)(random_);
        if (single) {
          static_cast<float*>(data)[i] = static_cast<float>(v);
        } else {
          static_cast<double*>(data)[i] = v;
        }
      }
      return;
    }
    auto* bytes = static_cast<unsigned char*>(data);
    const size_t size = count * Element_Bytes(classId);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(Below(256));
  }

  ArrayPtr Numeric(mxClassID classId, const std::vector<mwSize>& dims, bool complex = false) {
    ArrayPtr array = Make_Array(classId, dims, complex ? mxCOMPLEX : mxREAL);
    Fill(array.get());
    return array;
  }

  ArrayPtr Setting(double value) {
    const mxClassID classId = Chance(70) ? mxDOUBLE_CLASS : mxSINGLE_CLASS;
    ArrayPtr array = Make_Array(classId, {1, 1});
    if (classId == mxDOUBLE_CLASS) {
      *static_cast<double*>(mxGetData(array.get())) = value;
    } else {
      *static_cast<float*>(mxGetData(array.get())) = static_cast<float>(value);
    }
    return array;
  }

  // Any array of any class, 0 to 4 dimensions, now and then complex or sparse.
  ArrayPtr Random_Array() {
    const mxClassID classId =
        Chance(50) ? (Chance(50) ? mxDOUBLE_CLASS : mxSINGLE_CLASS) : Pick(kAllClasses);
    std::vector<mwSize> dims(Below(5));
    size_t count = 1;
    for (mwSize& extent : dims) {
      extent = count > 4096 ? Below(2) : Extent(0);
      count *= extent == 0 ? 1 : extent;
    }
    const bool numeric = Element_Bytes(classId) > 0;
    ArrayPtr array = Numeric(classId, dims, numeric && classId != mxCHAR_CLASS && Chance(10));
    if (Chance(5)) Set_Sparse(array.get());
    return array;
  }

  // `least` 0 lets an image have no rows, columns or frames.
  void Well_Formed(Case& c, mwSize least) {
    const mxClassID data = Chance(50) ? mxDOUBLE_CLASS : mxSINGLE_CLASS;
    const mwSize height = Extent(least);
    const mwSize width = Extent(least);
    // Bigger images get fewer frames, so that no case runs long.
    const mwSize frames = height * width > 100 ? least + Below(3) : Extent(least);
    // A single frame may come as a matrix: MATLAB drops the trailing singleton.
    const std::vector<mwSize> stack = {height, width, frames};
    c.owned.push_back(Numeric(data, stack));
    c.owned.push_back(Numeric(data, stack));
    c.owned.push_back(Numeric(data, {height, width}));
    const bool bigger = height * width * frames > 400;
    c.owned.push_back(Setting(bigger ? Below(2) : Pick(kIterationLimits)));
    c.owned.push_back(Setting(Chance(70) ? 1e-4 : Value(false)));
    // Lambda must be finite in the precision it comes in.
    double lambda = Chance(70) ? 0.01 : Value(false);
    if (!(std::fabs(lambda) < 1e38)) lambda = -1;
    c.owned.push_back(Setting(lambda));
    c.owned.push_back(Setting(Chance(70) ? 0.05 : Value(false)));
    for (const ArrayPtr& array : c.owned) c.prhs.push_back(array.get());
    // The same array in two places, as MATLAB passes one variable given twice.
    if (Chance(5)) c.prhs[1] = c.prhs[0];
    if (Chance(3) && frames == 1) c.prhs[2] = c.prhs[0];
    c.nlhs = static_cast<int>(Below(5));
    c.wellFormed = least > 0;
    c.summary = std::string(data == mxDOUBLE_CLASS ? "double" : "single") + " " +
                std::to_string(height) + "x" + std::to_string(width) + "x" +
                std::to_string(frames) + ", nlhs " + std::to_string(c.nlhs);
  }

  void Platform_Fault(Case& c) {
    // Failures that happen after the arguments are accepted: construction and reconstruction.
    static const std::vector<std::pair<std::string, int>> kFaults(
        korvex::test::Realistic_Failures().begin(), korvex::test::Realistic_Failures().end());
    const auto& [operation, status] = kFaults[Below(static_cast<unsigned>(kFaults.size()))];
    c.failOperation = operation;
    c.failNth = 1 + Below(8);
    c.failStatus = status;
    c.wellFormed = false;
    c.summary += std::string(", ") + operation + " #" + std::to_string(c.failNth) + " fails";
  }

  // One or two faults in an otherwise well-formed call.
  void Spoil(Case& c) {
    const unsigned faults = 1 + Below(2);
    for (unsigned f = 0; f < faults && c.prhs.size() == 7; ++f) {
      const unsigned position = Below(7);
      switch (Below(9)) {
        case 0:  // an array of another kind in this place
          c.owned.push_back(Random_Array());
          c.prhs[position] = c.owned.back().get();
          break;
        case 1: {  // the same extents, another class, maybe complex
          const mxArray* old = c.prhs[position];
          const mwSize* dims = mxGetDimensions(old);
          const std::vector<mwSize> extents(dims, dims + mxGetNumberOfDimensions(old));
          const mxClassID classId = Pick(kAllClasses);
          const bool complex = Element_Bytes(classId) > 0 && classId != mxCHAR_CLASS && Chance(30);
          c.owned.push_back(Numeric(classId, extents, complex));
          c.prhs[position] = c.owned.back().get();
          break;
        }
        case 2:  // a sparse or complex copy
        {
          const mxArray* old = c.prhs[position];
          const mwSize* dims = mxGetDimensions(old);
          const bool sparse = Chance(50);
          c.owned.push_back(
              Numeric(mxGetClassID(old), {dims, dims + mxGetNumberOfDimensions(old)}, !sparse));
          if (sparse) Set_Sparse(c.owned.back().get());
          c.prhs[position] = c.owned.back().get();
          break;
        }
        case 3:  // an iteration limit out of range
          c.owned.push_back(Setting(Pick(kBadIterationLimits)));
          c.prhs[3] = c.owned.back().get();
          break;
        case 4:  // a non-finite or wild setting
          c.owned.push_back(Setting(Value(false)));
          c.prhs[4 + Below(3)] = c.owned.back().get();
          break;
        case 5:  // extents that do not match
        {
          const int which = static_cast<int>(Below(3));
          std::vector<mwSize> dims(1 + Below(4));
          for (mwSize& extent : dims) extent = Extent(0);
          c.owned.push_back(Numeric(mxGetClassID(c.prhs[which]), dims));
          c.prhs[which] = c.owned.back().get();
          break;
        }
        case 6:  // too many outputs
          c.nlhs = 5 + static_cast<int>(Below(3));
          break;
        case 7:  // too few or too many inputs
        {
          const size_t count = Below(10);
          while (c.prhs.size() > count) c.prhs.pop_back();
          while (c.prhs.size() < count) c.prhs.push_back(c.prhs[Below(7)]);
          break;
        }
        default:  // an empty setting
          c.owned.push_back(
              Make_Array(Chance(50) ? mxDOUBLE_CLASS : mxSINGLE_CLASS, {Below(2), 0}));
          c.prhs[3 + Below(4)] = c.owned.back().get();
          break;
      }
    }
    c.wellFormed = false;
    c.summary += ", spoilt";
  }

  void Anything(Case& c) {
    const unsigned count = Chance(60) ? 7 : Below(10);
    for (unsigned i = 0; i < count; ++i) {
      c.owned.push_back(Random_Array());
      c.prhs.push_back(c.owned.back().get());
    }
    c.nlhs = static_cast<int>(Chance(80) ? Below(5) : 5 + Below(2));
    c.summary = std::to_string(count) + " random inputs, nlhs " + std::to_string(c.nlhs);
  }

  std::mt19937 random_;
};

// Every message begins with a tag of the system and ends with a line break (the frame-count
// message with one blank after it).
bool Has_System_Form(const std::string& message) {
  static const char* const kTags[] = {
      "KorvexCUDA ", "KorvexCuda: ", "CUDA Error : ", "CUFFT ERR - ", "CUBLAS ERR - "};
  bool tagged = false;
  for (const char* tag : kTags) tagged = tagged || message.rfind(tag, 0) == 0;
  const bool ended =
      !message.empty() && (message.back() == '\n' ||
                           (message.size() > 1 && message.substr(message.size() - 2) == "\n "));
  return tagged && ended;
}

class GatewayFuzz : public GatewayTest {};

TEST_F(GatewayFuzz, EveryCallReturnsOrRaisesCleanly) {
  const unsigned cases = Env_Or("KORVEX_FUZZ_CASES", kDefaultCases);
  const unsigned seed = Env_Or("KORVEX_FUZZ_SEED", kDefaultSeed);
  Generator generator(seed);
  std::map<std::string, unsigned> messages;
  unsigned succeeded = 0;
  unsigned failures = 0;  // test failures, to stop a broken build from printing 20,000 of them

  for (unsigned i = 0; i < cases && failures < 20; ++i) {
    Generator::Case c = generator.Next();
    const std::string where =
        "case " + std::to_string(i) + " (seed " + std::to_string(seed) + "): " + c.summary;
    std::vector<std::vector<unsigned char>> before;
    for (const mxArray* input : c.prhs) before.push_back(Bytes_Of(input));

    if (c.failNth > 0) korvex::host::fail_call(c.failOperation, c.failNth, c.failStatus);
    CallResult result;
    try {
      result = Call(c.nlhs, c.prhs);
      korvex::host::clear_failures();
    } catch (const std::exception& escaped) {
      korvex::host::clear_failures();
      ADD_FAILURE() << where << ": exception escaped mexFunction: " << escaped.what();
      ++failures;
      continue;
    }

    const unsigned failuresBefore = failures;
    auto check = [&](bool ok, const std::string& what) {
      if (ok) return;
      ADD_FAILURE() << where << ": " << what;
      ++failures;
    };
    check(Computing_S == nullptr || Computing_D == nullptr, "two engines kept");
    check(korvex::host::ledger().registered_ranges == 0, "caller memory left page-locked");
    for (size_t k = 0; k < c.prhs.size(); ++k) {
      check(Bytes_Of(c.prhs[k]) == before[k], "input " + std::to_string(k) + " was written");
    }
    if (result.error) {
      ++messages[*result.error];
      check(Computing_S == nullptr && Computing_D == nullptr, "an engine kept after an error");
      check(Has_System_Form(*result.error), "foreign message: " + *result.error);
      check(!c.wellFormed, "well-formed call refused: " + *result.error);
    } else {
      ++succeeded;
      const bool reconstruction = c.prhs.size() == 7;
      const size_t outputs = reconstruction ? static_cast<size_t>(std::max(c.nlhs, 1)) : 0;
      for (size_t k = 0; k < result.outputs.size(); ++k) {
        check((result.outputs[k] != nullptr) == (k < outputs),
              "output " + std::to_string(k) + (k < outputs ? " missing" : " unexpected"));
      }
      if (reconstruction && result.outputs[0]) {
        const mwSize* dims = mxGetDimensions(result.outputs[0].get());
        const mwSize* otf = mxGetDimensions(c.prhs[2]);
        check(dims[0] == otf[0] && dims[1] == otf[1], "output 0 is not the OTF's size");
        check(mxGetClassID(result.outputs[0].get()) == mxGetClassID(c.prhs[0]),
              "output 0 of the wrong class");
      }
    }
    if (failures > failuresBefore) continue;

    if ((i + 1) % kClearEvery == 0) {
      Clear_Memory();
      const korvex::host::Ledger held = korvex::host::ledger();
      check(held.empty(), "resources held after clearing memory");
    }
  }
  Clear_Memory();
  EXPECT_TRUE(korvex::host::ledger().empty());

  unsigned refusals = 0;
  for (const auto& entry : messages) refusals += entry.second;
  std::printf("[ fuzz     ] %u cases (seed %u): %u succeeded, %u refused, %zu distinct messages\n",
              cases, seed, succeeded, refusals, messages.size());
  for (const auto& entry : messages) {
    std::string shown;
    for (char ch : entry.first) shown += ch == '\n' ? std::string("\\n") : std::string(1, ch);
    std::printf("[ fuzz     ] %6u  %s\n", entry.second, shown.c_str());
  }
}

}  // namespace
}  // namespace korvex::test
