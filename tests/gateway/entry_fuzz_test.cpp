// Seeded fuzzing of korvex_reconstruct's or korvex_estimate_patterns' mexFunction (the program
// is built once for each, KORVEX_FUZZ_ESTIMATE choosing the second) through the MEX
// substitute: frames of every class, shape and value family, any option name with good, bad
// and wild values, extra and missing inputs. Every call must return or raise a korvex:
// identifier with a message, write none of its inputs, leave no array and (once released) no
// device memory behind, and return no NaN for finite frames; a good call after every bad one
// must succeed. KORVEX_FUZZ_CASES and KORVEX_FUZZ_SEED widen a run (scripts/fuzz.sh).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "host/host_control.h"
#include "mex_substitute.h"

namespace {

using mex_substitute::ArrayPtr;
using mex_substitute::Make_Array;
using mex_substitute::Make_Scalar;
using mex_substitute::Make_Struct;
using mex_substitute::Make_Text;

#if defined(KORVEX_FUZZ_ESTIMATE)
constexpr int kLeading = 2;  // frames, otf
const char* const kOptions[] = {"angles", "phases", "periodGuess", "angleGuess"};
#else
constexpr int kLeading = 1;  // frames
const char* const kOptions[] = {"na",        "wavelength",  "pixelSize",       "immersion",
                                "angles",    "phases",      "upsample",        "otf",
                                "pattern",   "iterations",  "lambda",          "alpha",
                                "threshold", "nonnegative", "dataTerm",        "sparsity",
                                "precision", "outOfFocus",  "outOfFocusWidth", "defocus",
                                "outOfFocusCost"};
#endif

unsigned Env_Or(const char* name, unsigned fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? unsigned(std::strtoul(text, nullptr, 10)) : fallback;
}

size_t Element_Bytes(mxClassID id) {
  switch (id) {
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
      return 0;
  }
}

std::vector<unsigned char> Bytes_Of(const mxArray* a) {
  const size_t n =
      mxGetNumberOfElements(a) * Element_Bytes(mxGetClassID(a)) * (mxIsComplex(a) ? 2 : 1);
  const auto* data = static_cast<const unsigned char*>(mxGetData(a));
  return data == nullptr || n == 0 ? std::vector<unsigned char>{}
                                   : std::vector<unsigned char>(data, data + n);
}

bool All_Finite(const mxArray* a) {
  const size_t n = mxGetNumberOfElements(a);
  if (mxGetClassID(a) == mxDOUBLE_CLASS) {
    for (size_t i = 0; i < n; ++i) {
      if (!std::isfinite(static_cast<const double*>(mxGetData(a))[i])) return false;
    }
  } else if (mxGetClassID(a) == mxSINGLE_CLASS) {
    for (size_t i = 0; i < n; ++i) {
      if (!std::isfinite(static_cast<const float*>(mxGetData(a))[i])) return false;
    }
  }
  return true;
}

class Generator {
 public:
  explicit Generator(unsigned seed) : random_(seed) {}

  struct Case {
    int nlhs = 1;
    std::vector<ArrayPtr> owned;
    std::vector<const mxArray*> prhs;
    bool finiteFrames = true;
  };

  // A call whose frames and options are right: it must succeed.
  Case Good() {
    Case c;
    c.nlhs = 2;
    Add(c, Stack(mxSINGLE_CLASS, 32, 9, false, true));
#if defined(KORVEX_FUZZ_ESTIMATE)
    Add(c, Otf(32, mxDOUBLE_CLASS, 0.45));
#else
    Add_Optics(c);
    Add(c, Make_Text("iterations"));
    Add(c, Make_Scalar(2));
#endif
    return c;
  }

  void Add_Optics(Case& c) {
    Add(c, Make_Text("na"));
    Add(c, Make_Scalar(1.2));
    Add(c, Make_Text("wavelength"));
    Add(c, Make_Scalar(0.52));
    Add(c, Make_Text("pixelSize"));
    Add(c, Make_Scalar(0.1));
  }

  Case Next() {
    Case c;
    c.nlhs = Chance(5) ? 3 : int(Below(3));
    const unsigned side = Chance(70) ? 20 + Below(12) : Below(20);
    const unsigned frames = Chance(70) ? 9 : Below(12);
    const mxClassID id = Chance(85) ? (Chance(50) ? mxSINGLE_CLASS : mxDOUBLE_CLASS) : Any_Class();
    const bool wild = Chance(30);
    Add(c, Stack(id, side, frames, wild, false));
    c.finiteFrames = All_Finite(c.prhs[0]);
#if defined(KORVEX_FUZZ_ESTIMATE)
    if (!Chance(3)) {
      Add(c, Chance(85) ? Otf(Chance(90) ? side : side + 1, id, Chance(80) ? 0.45 : Uniform(0, 1))
                        : Anything());
    }
#else
    if (Chance(85)) Add_Optics(c);
#endif
    const unsigned options = Chance(60) ? 0 : Below(4);
    for (unsigned k = 0; k < options; ++k) {
      if (Chance(3)) {
        Add(c, Anything());  // an option name that is no text, or a missing value
        continue;
      }
      const std::string name = Chance(97) ? kOptions[Below(std::size(kOptions))] : "bogus";
      Add(c, Make_Text(name));
      if (!Chance(2)) Add(c, Value(name, side));
    }
    if (Chance(2)) c.prhs.clear();  // no input at all
    if (Chance(2) && !c.prhs.empty()) {
      Add(c, Make_Text("release"));
      c.prhs.erase(c.prhs.begin(), c.prhs.end() - 1);
    }
    return c;
  }

 private:
  unsigned Below(unsigned n) {
    return n == 0 ? 0 : std::uniform_int_distribution<unsigned>(0, n - 1)(random_);
  }
  bool Chance(unsigned percent) { return Below(100) < percent; }
  double Uniform(double a, double b) {
    return std::uniform_real_distribution<double>(a, b)(random_);
  }

  void Add(Case& c, ArrayPtr a) {
    c.prhs.push_back(a.get());
    c.owned.push_back(std::move(a));
  }

  mxClassID Any_Class() {
    const mxClassID all[] = {mxDOUBLE_CLASS, mxSINGLE_CLASS, mxINT8_CLASS,  mxUINT8_CLASS,
                             mxINT16_CLASS,  mxUINT16_CLASS, mxINT32_CLASS, mxUINT32_CLASS,
                             mxINT64_CLASS,  mxUINT64_CLASS, mxCHAR_CLASS,  mxLOGICAL_CLASS,
                             mxCELL_CLASS,   mxSTRUCT_CLASS};
    return all[Below(std::size(all))];
  }

  // A value of some family: the frames' own, near the type's range, subnormal, non-finite.
  double Wild(bool single) {
    const double huge = single ? 3e38 : 1e300;
    switch (Below(8)) {
      case 0:
        return std::numeric_limits<double>::quiet_NaN();
      case 1:
        return std::numeric_limits<double>::infinity();
      case 2:
        return huge * Uniform(0.1, 1);
      case 3:
        return -Uniform(0, 10);
      case 4:
        return single ? 1e-40 : 4e-320;
      case 5:
        return 0.0;
      default:
        return Uniform(0, 1000);
    }
  }

  // Frames: a simple striped scene, or constant, or values of one wild family.
  // `clean`: none of the shape, complexity and sparsity faults.
  ArrayPtr Stack(mxClassID id, unsigned side, unsigned frames, bool wild, bool clean) {
    std::vector<mwSize> dims = {side, clean || Chance(85) ? side : side + Below(9), frames};
    if (!clean && Chance(3)) dims.push_back(2);
    ArrayPtr a = Make_Array(id, dims, !clean && Chance(3) ? mxCOMPLEX : mxREAL);
    if (!clean && Chance(2)) mex_substitute::Set_Sparse(a.get());
    const size_t n = mxGetNumberOfElements(a.get()) * (mxIsComplex(a.get()) ? 2 : 1);
    void* data = mxGetData(a.get());
    const double scale = !clean && Chance(10) ? std::pow(10.0, Uniform(-40, 40)) : 100.0;
    const bool constant = !clean && Chance(5);
    const size_t plane = size_t{dims[0]} * dims[1];
    for (size_t i = 0; i < n && data != nullptr; ++i) {
      const size_t f = plane ? i / plane : 0, r = plane ? (i % plane) % dims[0] : 0;
      double v =
          constant
              ? 50.0
              : scale * (1.0 + 0.5 * std::cos(2.0 * static_cast<double>(r) + 2.1 * double(f % 3)) +
                         0.1 * Uniform(0, 1));
      if (wild && Chance(5)) v = Wild(id == mxSINGLE_CLASS);
      switch (id) {
        case mxDOUBLE_CLASS:
          static_cast<double*>(data)[i] = v;
          break;
        case mxSINGLE_CLASS:
          static_cast<float*>(data)[i] = float(v);
          break;
        case mxUINT16_CLASS:
          static_cast<uint16_t*>(data)[i] = uint16_t(std::fmod(std::abs(v), 65535.0));
          break;
        default: {
          auto* bytes = static_cast<unsigned char*>(data);
          for (size_t b = 0; b < Element_Bytes(id); ++b)
            bytes[i * Element_Bytes(id) + b] = (unsigned char)Below(256);
        }
      }
    }
    return a;
  }

  // A centred pupil OTF whose cut-off is `cutoff` of the side.
  ArrayPtr Otf(unsigned side, mxClassID id, double cutoff) {
    if (id != mxSINGLE_CLASS) id = mxDOUBLE_CLASS;
    ArrayPtr a = Make_Array(id, {side, side});
    for (unsigned c = 0; c < side; ++c) {
      for (unsigned r = 0; r < side; ++r) {
        const double q =
            std::hypot(double(r) - side / 2, double(c) - side / 2) / (cutoff * side + 1e-9);
        const double v = q < 1 ? (2 / M_PI) * (std::acos(q) - q * std::sqrt(1 - q * q)) : 0.0;
        if (id == mxDOUBLE_CLASS)
          static_cast<double*>(mxGetData(a.get()))[c * side + r] = v;
        else
          static_cast<float*>(mxGetData(a.get()))[c * side + r] = float(v);
      }
    }
    return a;
  }

  ArrayPtr Number() {
    if (Chance(70)) return Make_Scalar(Uniform(0, 4));
    switch (Below(6)) {
      case 0:
        return Make_Scalar(Wild(false));
      case 1:
        return Make_Scalar(double(Below(100)), mxINT32_CLASS);
      case 2:
        return Make_Scalar(Uniform(0, 4), mxSINGLE_CLASS);
      case 3:
        return Make_Array(mxDOUBLE_CLASS, {1, 1 + Below(3)});
      case 4:
        return Make_Text("0.5");
      default:
        return Make_Scalar(-Uniform(0, 1e10));
    }
  }

  ArrayPtr Anything() {
    switch (Below(5)) {
      case 0:
        return Make_Array(Any_Class(), {Below(3), Below(3)});
      case 1:
        return Make_Struct({});
      case 2:
        return Make_Text(std::string(Below(5), 'x'));
      default:
        return Number();
    }
  }

  ArrayPtr Value(const std::string& name, unsigned side) {
    if (Chance(10)) return Anything();
    if (name == "na") return Make_Scalar(Chance(80) ? 1.2 : Uniform(0, 2));
    if (name == "wavelength")
      return Make_Scalar(Chance(80) ? 0.52 : (Chance(50) ? 520 : Uniform(0, 2)));
    if (name == "pixelSize")
      return Make_Scalar(Chance(80) ? 0.1 : (Chance(50) ? 65 : Uniform(0, 0.3)));
    if (name == "angles" || name == "phases")
      return Make_Scalar(Chance(80) ? 3 : double(Below(70)));
    if (name == "upsample") return Make_Scalar(Chance(80) ? 2 : double(Below(4)));
    if (name == "iterations") return Make_Scalar(double(Below(3)));
    if (name == "periodGuess")
      return Make_Scalar(Chance(70) ? 2.5 + Uniform(0, 1) : Uniform(-1, 100));
    if (name == "angleGuess") return Make_Array(mxDOUBLE_CLASS, {1, Below(4)});
    if (name == "otf") return Otf(Chance(60) ? side : 2 * side, mxDOUBLE_CLASS, 0.45);
    if (name == "nonnegative" || name == "outOfFocus") return Make_Scalar(double(Below(3)));
    if (name == "dataTerm") return Make_Text(Chance(50) ? "frames" : "masked");
    if (name == "precision")
      return Make_Text(Chance(45) ? "single" : Chance(80) ? "double" : "half");
    if (name == "pattern") {
      std::vector<std::pair<std::string, ArrayPtr>> fields;
      fields.emplace_back("angle", Make_Array(mxDOUBLE_CLASS, {1, Chance(80) ? 3 : Below(5)}));
      fields.emplace_back("period", Make_Scalar(Chance(80) ? 2.6 : Uniform(0, 5)));
      if (Chance(80))
        fields.emplace_back("phase",
                            Make_Array(mxDOUBLE_CLASS, {1, Chance(70) ? size_t{3} : size_t{9}}));
      if (Chance(50)) fields.emplace_back("modulation", Make_Scalar(Uniform(0, 1.2)));
      return Make_Struct(std::move(fields));
    }
    return Number();  // lambda, alpha, threshold, sparsity, immersion, width, defocus
  }

  std::mt19937 random_;
};

// The inputs of a call, for a failure's report: class and extents, text, scalar values.
std::string Describe(const std::vector<const mxArray*>& prhs) {
  std::string text;
  for (const mxArray* a : prhs) {
    text += "\n  class " + std::to_string(int(mxGetClassID(a))) + ", ";
    for (mwSize d = 0; d < mxGetNumberOfDimensions(a); ++d) {
      text += (d ? "x" : "") + std::to_string(mxGetDimensions(a)[d]);
    }
    if (mxIsChar(a)) {
      char* chars = mxArrayToString(a);
      text += std::string(" '") + (chars ? chars : "") + "'";
      mxFree(chars);
    } else if (mxGetNumberOfElements(a) >= 1 && mxGetData(a) != nullptr &&
               (mxIsDouble(a) || mxIsSingle(a))) {
      const double first = mxIsDouble(a) ? *static_cast<const double*>(mxGetData(a))
                                         : *static_cast<const float*>(mxGetData(a));
      text += ", first " + std::to_string(first);
    }
  }
  return text;
}

struct Outcome {
  bool raised = false;
  std::string id, message;
  std::vector<ArrayPtr> outputs;
};

Outcome Call(const Generator::Case& c) {
  std::vector<mxArray*> plhs(size_t(std::max(c.nlhs, 1)), nullptr);
  std::vector<const mxArray*> prhs = c.prhs;
  Outcome o;
  try {
    mexFunction(c.nlhs, plhs.data(), int(prhs.size()), prhs.data());
  } catch (const mex_substitute::MexError& e) {
    o.raised = true;
    o.id = e.id;
    o.message = e.message;
  }
  for (mxArray* out : plhs) o.outputs.emplace_back(out);
  return o;
}

void Release_All() {
#if !defined(KORVEX_FUZZ_ESTIMATE)
  ArrayPtr release = Make_Text("release");
  const mxArray* in[] = {release.get()};
  mexFunction(0, nullptr, 1, in);
#endif
}

TEST(EntryFuzz, EveryCallReturnsOrRaisesCleanly) {
  // Nearly every call has a geometry of its own: measuring FFT plans would dominate the run.
  setenv("KORVEX_FFTW_PLANNER", "estimate", 0);
  const unsigned cases = Env_Or("KORVEX_FUZZ_CASES", 400);
  const unsigned seed = Env_Or("KORVEX_FUZZ_SEED", 20261208);
  Generator generator(seed);
  const size_t arraysAtStart = mex_substitute::Live_Arrays();
  unsigned raised = 0, nanOutputs = 0;
  for (unsigned n = 0; n < cases; ++n) {
    Generator::Case c = n % 50 == 49 ? generator.Good() : generator.Next();
    std::vector<std::vector<unsigned char>> before;
    for (const mxArray* a : c.prhs) before.push_back(Bytes_Of(a));
    Outcome o = Call(c);
    SCOPED_TRACE("case " + std::to_string(n) + ", seed " + std::to_string(seed));
    if (o.raised) {
      ++raised;
      if (std::getenv("KORVEX_FUZZ_SHOW"))
        std::printf("%s | %s\n", o.id.c_str(), o.message.c_str());
      EXPECT_EQ(o.id.compare(0, 7, "korvex:"), 0) << o.id << ": " << o.message;
      EXPECT_FALSE(o.message.empty());
      EXPECT_EQ(o.message.find("unknown"), o.message.find("unknown option"))
          << "an unexplained failure: " << o.message;
    } else if (c.finiteFrames && !o.outputs.empty() && o.outputs[0] != nullptr) {
      if (!All_Finite(o.outputs[0].get())) {
        ++nanOutputs;
        ADD_FAILURE() << "NaN or Inf output for finite frames:" << Describe(c.prhs);
      }
    }
    if (n % 50 == 49) {
      EXPECT_FALSE(o.raised) << "a good call failed: " << o.message;
    }
    for (size_t i = 0; i < c.prhs.size(); ++i) {
      EXPECT_EQ(Bytes_Of(c.prhs[i]), before[i]) << "input " << i + 1 << " was written";
    }
    mex_substitute::Take_Warnings();
    o.outputs.clear();
    c.owned.clear();
    ASSERT_EQ(mex_substitute::Live_Arrays(), arraysAtStart) << "arrays left behind";
    if (n % 100 == 99) {
      Release_All();
      ASSERT_TRUE(korvex::host::ledger().empty()) << "device memory held after release";
    }
  }
  Release_All();
  EXPECT_TRUE(korvex::host::ledger().empty());
  EXPECT_EQ(nanOutputs, 0u) << "NaN images for finite frames";
  std::printf("%u calls, %u refused, %u NaN outputs for finite frames\n", cases, raised,
              nanOutputs);
}

}  // namespace
