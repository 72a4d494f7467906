// Fluorescence per cell: sums over each label's pixels and the background
// median, the same through the whole-number and the floating-point paths.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "image/intensity.h"

namespace vantu {
namespace {

TEST(CellIntensity, SumsMeansAndBackgroundMedianAgreeOnBothPaths) {
  // 4 x 3: cells 2 and 7, label 5 not listed (neither cell nor background).
  const std::vector<std::uint32_t> labels = {0, 2, 2, 0,  //
                                             7, 2, 5, 0,  //
                                             7, 0, 5, 0};
  const std::vector<std::int32_t> whole = {10, 60000, 65535, -3, 1, 7, 999, 12, 2, 10, 999, 40};
  const std::vector<double> values(whole.begin(), whole.end());
  const CellIntensity a = measure_intensity(labels.data(), whole.data(), 4, 3, {2, 7});
  const CellIntensity b = measure_intensity(labels.data(), values.data(), 4, 3, {2, 7});
  for (const CellIntensity* m : {&a, &b}) {
    ASSERT_EQ(m->total.size(), 2u);
    EXPECT_EQ(m->total[0], 60000.0 + 65535 + 7);
    EXPECT_EQ(m->mean[0], (60000.0 + 65535 + 7) / 3);
    EXPECT_EQ(m->total[1], 3.0);
    // Background 10, -3, 12, 10, 40: an odd count.
    EXPECT_EQ(m->background, 10.0);
  }
  // An even count of background pixels: the mean of the two middle values.
  const std::vector<std::uint32_t> two = {0, 0, 1, 1};
  const std::vector<std::int32_t> w2 = {5, 8, 100, 1};
  const std::vector<double> fractions = {5.5, 8.25, 100, 1};
  EXPECT_EQ(measure_intensity(two.data(), w2.data(), 2, 2, {1}).background, 6.5);
  const CellIntensity f = measure_intensity(two.data(), fractions.data(), 2, 2, {1});
  EXPECT_EQ(f.background, (5.5 + 8.25) / 2);
  EXPECT_EQ(f.mean[0], 50.5);
  // No background at all, and a listed label without pixels.
  const std::vector<std::uint32_t> full = {3, 3};
  const CellIntensity none = measure_intensity(full.data(), fractions.data(), 2, 1, {3, 4});
  EXPECT_TRUE(std::isnan(none.background));
  EXPECT_EQ(none.total[0], 5.5 + 8.25);
  EXPECT_TRUE(std::isnan(none.mean[1]));
}

}  // namespace
}  // namespace vantu
