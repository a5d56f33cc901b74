// The OTF model, and moving OTFs between grids of one frequency step.
#include "optical_transfer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "acquisition_pipeline.h"

namespace {

using namespace korvex::acquisition;

TEST(OpticalTransfer, ModelIsOneAtZeroAndVanishesAtTheCutoff) {
  // 64 x 48 pixels of 0.1: cut-off 2 * 1.2 / 0.52 = 4.615 cycles per unit; the grid's
  // frequency step is 1 / 6.4 along the columns, 1 / 4.8 down the rows.
  const std::vector<double> otf = Widefield_Otf(48, 64, 1.2, 0.52, 0.1);
  EXPECT_EQ(otf[32 * 48 + 24], 1.0);
  const double cutoff = 2 * 1.2 / 0.52;
  for (unsigned c = 0; c < 64; ++c) {
    for (unsigned r = 0; r < 48; ++r) {
      const double f = std::hypot((double(c) - 32) / 6.4, (double(r) - 24) / 4.8);
      const double v = otf[c * 48 + r];
      if (f >= cutoff) {
        EXPECT_EQ(v, 0.0);
      } else if (f < 0.98 * cutoff) {
        EXPECT_GT(v, 0.0);
      }
      EXPECT_LE(v, 1.0);
    }
  }
}

TEST(OpticalTransfer, FineGridModelCroppedIsTheCameraGridModel) {
  // Odd and even sizes: the fine grid shares the camera grid's frequency step.
  for (unsigned h : {31u, 32u}) {
    const std::vector<double> camera = Widefield_Otf(h, 40, 1.2, 0.52, 0.1);
    const std::vector<double> fine = Widefield_Otf(2 * h, 80, 1.2, 0.52, 0.05);
    const std::vector<double> cropped = Resample_Otf(fine, 2 * h, 80, h, 40);
    for (size_t i = 0; i < camera.size(); ++i) ASSERT_NEAR(cropped[i], camera[i], 1e-14);
    // Embedding puts it back, the second Nyquist bin of the even size mirrored.
    const std::vector<double> embedded = Resample_Otf(camera, h, 40, 2 * h, 80);
    for (size_t i = 0; i < fine.size(); ++i) ASSERT_NEAR(embedded[i], fine[i], 1e-14);
  }
}

TEST(OpticalTransfer, MeasuredOtfOnEitherGridGivesTheSameFineOtf) {
  AcquisitionOptions options;
  options.optics = {1.2, 0.52, 0.1};
  const std::vector<double> model = Fine_Grid_Otf(options, 30, 36, 2);
  options.otf = MeasuredOtf{Widefield_Otf(30, 36, 1.2, 0.52, 0.1), 30, 36};
  const std::vector<double> fromCamera = Fine_Grid_Otf(options, 30, 36, 2);
  options.otf = MeasuredOtf{model, 60, 72};
  const std::vector<double> fromFine = Fine_Grid_Otf(options, 30, 36, 2);
  for (size_t i = 0; i < model.size(); ++i) {
    ASSERT_NEAR(fromCamera[i], model[i], 1e-14);
    ASSERT_EQ(fromFine[i], model[i]);
  }
}

}  // namespace
