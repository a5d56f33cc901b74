// Pipeline<T>: korvex::acquisition::AcquisitionPipeline<T>, kept across calls so that a series
// of one geometry builds its engine once.
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "acquisition_pipeline.h"
#include "core_calls.h"
#include "out_of_focus_transfer.h"
#include "transposed_layout.h"

namespace korvex::python {

namespace {

using korvex::acquisition::AcquisitionOptions;
using korvex::acquisition::AcquisitionPipeline;
using korvex::acquisition::AcquisitionResult;
using korvex::acquisition::MeasuredOtf;

// angle, period, modulation (per orientation), phase (per frame), modulation2, phase2 (per
// orientation), in numpy's axes.
using PatternTuple =
    std::tuple<std::vector<double>, std::vector<double>, std::vector<double>, std::vector<double>,
               std::vector<double>, std::vector<double>>;

template <typename T>
class Pipeline {
 public:
  Pipeline() : pipeline_(std::make_unique<AcquisitionPipeline<T>>()) {}
  ~Pipeline() { Release_In_Core(pipeline_); }
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;

  nb::dict Reconstruct(Stack<T> frames, double na, double wavelength, double pixelSize,
                       double immersion, unsigned angles, unsigned phases, double upsample,
                       unsigned iterations, double lambda, double alpha, double threshold,
                       bool nonNegative, bool frameData, std::optional<double> sparsity,
                       std::optional<Image<double>> otf, std::optional<PatternTuple> pattern,
                       unsigned orders, double background,
                       std::optional<Image<double>> backgroundImage, double gain,
                       std::optional<bool> outOfFocus, double outOfFocusWidth, double defocus,
                       double outOfFocusCost) {
    AcquisitionOptions options;
    options.optics = {na, wavelength, pixelSize, immersion};
    options.angles = angles;
    options.phases = phases;
    options.upsample = upsample;
    options.iterations = iterations;
    options.lambda = lambda;
    options.alpha = alpha;
    options.threshold = threshold;
    options.nonNegative = nonNegative;
    options.frameData = frameData;
    options.sparsity = sparsity;
    options.guess.orders = orders;
    options.camera = Camera_Units(background, backgroundImage, gain);
    if (outOfFocus) options.outOfFocus.enabled = *outOfFocus;  // None: the core's default
    options.outOfFocus.width = outOfFocusWidth;
    options.outOfFocus.defocus = defocus;
    options.outOfFocus.cost = outOfFocusCost;
    if (otf) {
      // C-ordered (h, w) is the core's column-major w x h.
      MeasuredOtf measured;
      measured.values.assign(otf->data(), otf->data() + otf->size());
      measured.height = unsigned(otf->shape(1));
      measured.width = unsigned(otf->shape(0));
      options.otf = std::move(measured);
    }
    if (pattern) {
      auto& [angle, period, modulation, phase, modulation2, phase2] = *pattern;
      options.pattern = Swap_Axes(korvex::acquisition::Pattern_From_Rows(angle, period, modulation, phase, modulation2, phase2));
    }
    const unsigned frameCount = unsigned(frames.shape(0));
    const unsigned height = unsigned(frames.shape(1)), width = unsigned(frames.shape(2));
    AcquisitionResult<T> result = Core_Call([&] {
      Check_Finite(frames.data(), frames.size(), "frames");
      return pipeline_->Reconstruct(frames.data(), width, height, frameCount, options);
    });

    nb::dict seconds;
    seconds["estimation"] = result.seconds.estimation;
    seconds["upsampling"] = result.seconds.upsampling;
    seconds["otf"] = result.seconds.otf;
    seconds["masks"] = result.seconds.masks;
    seconds["engine_setup"] = result.seconds.engineSetup;
    seconds["reconstruction"] = result.seconds.reconstruction;
    seconds["total"] = result.seconds.total;
    nb::dict d;
    // The core's column-major height x width is C-ordered (width, height).
    d["image"] = To_Numpy(std::move(result.image), {result.width, result.height});
    d["pattern"] = Pattern_Dict(Swap_Axes(result.pattern), result.estimated);
    d["estimated"] = result.estimated;
    d["undersampled"] = result.undersampled;
    d["iterations"] = result.iterations;
    d["step"] = result.alpha;
    d["ratio"] = result.ratio;
    d["pixel_size"] = result.pixelSize;
    d["out_of_focus_share"] = result.outOfFocusShare;
    if (result.outOfFocus.empty()) {
      d["out_of_focus"] = nb::none();
    } else {
      // numpy reads width x height values from it: a wrong size would read past its end.
      if (result.outOfFocus.size() != size_t{result.width} * result.height) {
        throw std::logic_error("internal error: the out-of-focus image holds " +
                               std::to_string(result.outOfFocus.size()) + " values");
      }
      d["out_of_focus"] = To_Numpy(std::move(result.outOfFocus), {result.width, result.height});
    }
    d["seconds"] = seconds;
    // What the call built anew: nothing when the kept state fitted.
    nb::list built;
    const korvex::acquisition::BuiltParts& b = result.built;
    for (const auto& [part, made] : {std::pair{"estimator", b.estimator},
                                     std::pair{"upsampler", b.upsampler},
                                     std::pair{"otf", b.otf}, std::pair{"engine", b.engine}}) {
      if (made) built.append(part);
    }
    d["built"] = built;
    return d;
  }

  void Release() {
    Core_Call([this] { pipeline_->Release(); });
  }

 private:
  std::unique_ptr<AcquisitionPipeline<T>> pipeline_;
};

template <typename T>
void Bind(nb::module_& m, const char* name) {
  nb::class_<Pipeline<T>>(m, name)
      .def(nb::init<>())
      .def("reconstruct", &Pipeline<T>::Reconstruct, nb::arg("frames").noconvert(), nb::arg("na"),
           nb::arg("wavelength"), nb::arg("pixel_size"), nb::arg("immersion"), nb::arg("angles"),
           nb::arg("phases"), nb::arg("upsample"), nb::arg("iterations"), nb::arg("smoothness"),
           nb::arg("step"), nb::arg("threshold"), nb::arg("nonnegative"), nb::arg("frame_data"),
           nb::arg("sparsity").none(), nb::arg("otf").none(), nb::arg("pattern").none(),
           nb::arg("orders") = 0u, nb::arg("background") = 0.0,
           nb::arg("background_image").none() = nb::none(), nb::arg("gain") = 1.0,
           nb::arg("out_of_focus").none() = nb::none(), nb::arg("out_of_focus_width") = 0.0,
           nb::arg("defocus") = 0.0, nb::arg("out_of_focus_cost") = 1.0)
      .def("release", &Pipeline<T>::Release);
}

// How far the out-of-focus model's haze reaches on the camera grid of `otf` (the OTF the
// pipeline estimates with, C-ordered (H, W)), in cycles per camera pixel: what the pipeline
// gives the pattern estimator with the model on.
double Out_Of_Focus_Reach(Image<double> otf, double na, double wavelength, double pixelSize,
                          double immersion, double outOfFocusWidth, double defocus) {
  AcquisitionOptions options;
  options.optics = {na, wavelength, pixelSize, immersion};
  options.outOfFocus.enabled = true;
  options.outOfFocus.width = outOfFocusWidth;
  options.outOfFocus.defocus = defocus;
  // C-ordered (h, w) is the core's column-major w x h.
  const unsigned height = unsigned(otf.shape(1)), width = unsigned(otf.shape(0));
  return Core_Call([&] {
    // A defocus without the optics to model it from is refused as the reconstruction would.
    korvex::acquisition::Check_Out_Of_Focus(options, height, width, 1);
    return korvex::acquisition::Out_Of_Focus_Reach(
        options, height, width, std::vector<double>(otf.data(), otf.data() + otf.size()));
  });
}

}  // namespace

void Bind_Acquisition(nb::module_& m) {
  Bind<float>(m, "PipelineFloat32");
  Bind<double>(m, "PipelineFloat64");
  // The pipeline's defaults, under the Python names, so that every front end offers the same.
  using korvex::acquisition::ReconstructionDefaults;
  nb::dict defaults;
  defaults["upsample"] = ReconstructionDefaults::kUpsample;
  defaults["iterations"] = ReconstructionDefaults::kIterations;
  defaults["smoothness"] = ReconstructionDefaults::kLambda;
  defaults["step"] = ReconstructionDefaults::kAlpha;
  defaults["threshold"] = ReconstructionDefaults::kThreshold;
  defaults["nonnegative"] = ReconstructionDefaults::kNonNegative;
  defaults["data_term"] = ReconstructionDefaults::kFrameData ? "frames" : "masked";
  defaults["sparsity"] = ReconstructionDefaults::kSparsity;
  defaults["out_of_focus"] = ReconstructionDefaults::kOutOfFocus;
  m.attr("acquisition_defaults") = defaults;
  m.def("out_of_focus_reach", &Out_Of_Focus_Reach, nb::arg("otf").noconvert(), nb::arg("na"),
        nb::arg("wavelength"), nb::arg("pixel_size"), nb::arg("immersion"),
        nb::arg("out_of_focus_width"), nb::arg("defocus"));
}

}  // namespace korvex::python
