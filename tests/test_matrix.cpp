// Dense toolkit: products, blocks, fills, the Gauss-Jordan solver and the
// result-file writers.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "run/writers.h"
#include "matrix/simple_matrix.h"
#include "tests/harness.h"

using namespace vantu;

namespace {

// Diagonally dominant n x n matrix, so the first acceptable pivot is safe.
std::vector<double> dominant(int n, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> A(static_cast<size_t>(n) * n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) A[i * n + j] = (i == j) ? n + 1.0 + u(gen) : u(gen);
  return A;
}

TEST(DenseToolkit, MultiplyOverwritesOldValuesAndEmptyInnerDimensionGivesZeros) {
  const double A[6] = {1, 2, 3, 4, 5, 6};     // 2 x 3
  const double B[6] = {7, 8, 9, 10, 11, 12};  // 3 x 2
  double C[4] = {99, -99, 99, -99};
  ASSERT_EQ(mat_multiply(2, 3, 2, A, B, C), C);
  EXPECT_EQ(std::vector<double>(C, C + 4), (std::vector<double>{58, 64, 139, 154}));

  double Z[6] = {5, 5, 5, 5, 5, 5};
  mat_multiply(2, 0, 3, A, B, Z);
  for (double z : Z) EXPECT_EQ(z, 0.0);
}

TEST(DenseToolkit, IdentityWritesOnlyItsOwnElements) {
  std::vector<double> buf(12, 7.0);
  mat_identity(3, 3, buf.data());
  for (int k = 0; k < 9; ++k) EXPECT_EQ(buf[k], (k % 4 == 0) ? 1.0 : 0.0) << k;
  for (int k = 9; k < 12; ++k) EXPECT_EQ(buf[k], 7.0);
}

TEST(DenseToolkit, ComposePlacesEveryBlock) {
  const int M = 4;
  std::vector<double> top(9), bottom(3 * M), out(3 * (3 + M), -1.0);
  for (int k = 0; k < 9; ++k) top[k] = 100 + k;
  for (int k = 0; k < 3 * M; ++k) bottom[k] = 200 + k;
  mat_compose(out.data(), 2, 1, {3, M}, {3}, {top.data(), bottom.data()});
  for (int r = 0; r < 3 + M; ++r)
    for (int c = 0; c < 3; ++c)
      EXPECT_EQ(out[r * 3 + c], r < 3 ? 100 + r * 3 + c : 200 + (r - 3) * 3 + c) << r << "," << c;

  // 2 x 2 grid: heights {2, 3}, widths {1, 2}.
  const double b00[2] = {10, 11}, b01[4] = {20, 21, 22, 23}, b10[3] = {30, 31, 32};
  const double b11[6] = {40, 41, 42, 43, 44, 45};
  double g[15];
  mat_compose(g, 2, 2, {2, 3}, {1, 2}, {b00, b01, b10, b11});
  const double want[15] = {10, 20, 21, 11, 22, 23, 30, 40, 41, 31, 42, 43, 32, 44, 45};
  for (int k = 0; k < 15; ++k) EXPECT_EQ(g[k], want[k]) << k;
}

TEST(DenseToolkit, FillsTruncateAndHonourTheBufferRule) {
  int iv[2];
  EXPECT_EQ(int_fill(2, iv, 2.7)[1], 2);
  EXPECT_EQ(int_fill(2, iv, -2.7)[0], -2);

  double keep[2] = {3.0, 4.0};
  EXPECT_EQ(mat_fill(0, keep, 9.0), keep);
  EXPECT_EQ(std::vector<double>(keep, keep + 2), (std::vector<double>{3.0, 4.0}));

  double* fresh = mat_fill(3, nullptr, 1.5);
  ASSERT_NE(fresh, nullptr);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(fresh[k], 1.5);
  delete[] fresh;
}

TEST(DenseToolkit, RowOperationsSkipTinySourceEntries) {
  double Mx[6] = {2.0, 1e-10, -3.0, 5.0, 6.0, 7.0};
  row_combine(3, Mx, 0, 2.0, 1, RowMode::Scale);
  EXPECT_EQ(std::vector<double>(Mx + 3, Mx + 6), (std::vector<double>{4.0, 6.0, -6.0}));
  row_combine(3, Mx, 0, 1.0, 1, RowMode::Add);
  EXPECT_EQ(std::vector<double>(Mx + 3, Mx + 6), (std::vector<double>{6.0, 6.0, -9.0}));
  row_swap(3, Mx, 1, 1);
  EXPECT_EQ(std::vector<double>(Mx, Mx + 6), (std::vector<double>{2.0, 1e-10, -3.0, 6.0, 6.0, -9.0}));
}

TEST(GaussJordan, SwappedRowsAndSingularMatrix) {
  const double A[4] = {0, 1, 1, 0};
  double B[4] = {1, 0, 0, 1};
  ASSERT_EQ(reverse(2, 2, A, B), B);
  EXPECT_EQ(std::vector<double>(B, B + 4), (std::vector<double>{0, 1, 1, 0}));

  const double S[4] = {0, 1, 0, 2};
  double R[2] = {1, 1};
  testing::internal::CaptureStdout();
  EXPECT_EQ(reverse(2, 1, S, R), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR (reverse): singular matrices\n");
}

TEST(GaussJordan, PivotMustExceedTheThreshold) {
  // 1e-10 is rejected: row 1 becomes the pivot of column 0, the 1e-10 left
  // below it is never eliminated and the inverse comes out with a clean 0.
  const double A[4] = {1e-10, 1, 1, 1};
  double B[4] = {1, 0, 0, 1};
  ASSERT_NE(reverse(2, 2, A, B), nullptr);
  EXPECT_EQ(std::vector<double>(B, B + 4), (std::vector<double>{-1, 1, 1, 0}));

  // Just above it row 0 is taken and the exact inverse (B(1,1) ~ -1e-10) appears.
  const double A2[4] = {1.0000001e-10, 1, 1, 1};
  double B2[4] = {1, 0, 0, 1};
  ASSERT_NE(reverse(2, 2, A2, B2), nullptr);
  EXPECT_NEAR(B2[3], -1.0000001e-10, 1e-16);
  EXPECT_NEAR(B2[0], -1.0, 1e-9);
}

TEST(GaussJordan, FirstAcceptableRowIsThePivotNotTheLargest) {
  const double A[4] = {1e-9, 1, 1, 1};
  double B[4] = {1, 0, 0, 1};
  ASSERT_NE(reverse(2, 2, A, B), nullptr);

  // Row 0 first.
  double f0 = 1 / 1e-9, w01 = f0 * 1, b00 = f0 * 1;
  double w11 = 1 + (-1) * w01, b10 = 0 + (-1) * b00, b11 = 1;
  double f1 = 1 / w11;
  b10 = f1 * b10;
  b11 = f1 * b11;
  const double row0_first[4] = {b00 + (-w01) * b10, 0 + (-w01) * b11, b10, b11};
  // Row 1 first (largest magnitude), for contrast.
  double c11 = 1 + (-1e-9) * 1, c10 = 1;
  double g = 1 / c11;
  double c0 = g * c10, c1 = g * ((-1e-9) * 1);
  const double row1_first[4] = {0 + (-1) * c0, 1 + (-1) * c1, c0, c1};
  ASSERT_NE(std::memcmp(row0_first, row1_first, sizeof row0_first), 0);

  for (int k = 0; k < 4; ++k) EXPECT_EQ(B[k], row0_first[k]) << k;
}

TEST(GaussJordan, TinyEntriesAreNeitherScaledNorPropagated) {
  // Tiny right-hand side in the pivot row: not halved.
  const double A1[4] = {2, 0, 0, 1};
  double B1[2] = {1e-11, 1};
  EXPECT_EQ(reverse(2, 1, A1, B1)[0], 1e-11);
  // Tiny right-hand side: not subtracted from the row below.
  const double A2[4] = {1, 0, 1, 1};
  double B2[2] = {1e-11, 1};
  EXPECT_EQ(reverse(2, 1, A2, B2)[1], 1.0);
  // Tiny matrix entry: not propagated, so the answer is not the true [-1/9, 1e12/9].
  const double A3[4] = {1, 1e-11, 1e12, 1};
  double B3[2] = {1, 0};
  reverse(2, 1, A3, B3);
  EXPECT_EQ(std::vector<double>(B3, B3 + 2), (std::vector<double>{1.0, -1e12}));
}

TEST(GaussJordan, LeavesTheMatrixBitForBitUnchanged) {
  for (int n : {5, 30}) {
    std::vector<double> A = dominant(n, 7u + n), A0 = A, B = dominant(n, 11u);
    ASSERT_NE(reverse(n, n, A.data(), B.data()), nullptr);
    EXPECT_EQ(std::memcmp(A.data(), A0.data(), A.size() * sizeof(double)), 0) << "n = " << n;
  }
}

TEST(GaussJordan, SingleUnknownMultipliesByTheReciprocal) {
  double a = 3, b = 1;
  EXPECT_EQ(*reverse(1, 1, &a, &b), (1 / 3.0) * 1);
  // A pair where multiplying by the reciprocal and dividing differ in the last bit.
  double pa = 0, pb = 0;
  for (int x = 3; x < 200 && pa == 0; ++x)
    for (int y = 1; y < 200; ++y)
      if ((1.0 / x) * y != y / static_cast<double>(x)) {
        pa = x;
        pb = y;
        break;
      }
  ASSERT_NE(pa, 0.0);
  double bb = pb;
  reverse(1, 1, &pa, &bb);
  EXPECT_EQ(bb, (1 / pa) * pb);
  EXPECT_NE(bb, pb / pa);
}

TEST(GaussJordan, SolvesAWellConditionedSystem) {
  const int n = 12, m = 3;
  std::vector<double> A = dominant(n, 3u), B(n * m), X;
  std::mt19937 gen(5u);
  std::uniform_real_distribution<double> u(-10.0, 10.0);
  for (double& b : B) b = u(gen);
  X = B;
  ASSERT_NE(reverse(n, m, A.data(), X.data()), nullptr);
  std::vector<double> AX(n * m);
  mat_multiply(n, n, m, A.data(), X.data(), AX.data());
  for (int k = 0; k < n * m; ++k) EXPECT_NEAR(AX[k], B[k], 1e-9) << k;
}

class ResultWriterTest : public ::testing::Test {
 protected:
  vantu_test::RunDir dir;
  std::string path(const char* name) const { return dir.file(name); }
};

TEST_F(ResultWriterTest, MatchAndTripleLinesGroupTheirValues) {
  const int a[1] = {12}, b[1] = {0}, c[1] = {0};
  const double d[1] = {7.0};
  ASSERT_TRUE(write_match(path("m.dat").c_str(), 1, a, b, c, d, 1));
  EXPECT_EQ(dir.read("m.dat"), "12  0  0  7 \n");

  const double t1[3] = {1, 10.5, 20}, t2[3] = {1, 11, 19.5}, t3[3] = {1, 10.9, 19.8};
  ASSERT_TRUE(write_triples(path("t.dat").c_str(), 1, t1, t2, t3, 3));
  EXPECT_EQ(dir.read("t.dat"), "1 10.5 20  1 11 19.5  1 10.9 19.8 \n");
}

TEST_F(ResultWriterTest, MatrixValuesUsePercentG) {
  const double v[6] = {1.0, 0.0, 0.000123456789, 1.5e20, -0.0, 2.5};
  ASSERT_TRUE(write_matrix(path("a.dat").c_str(), 2, v, 3));
  EXPECT_EQ(dir.read("a.dat"), "1 0 0.000123457 \n1.5e+20 -0 2.5 \n");
  // Rewritten whole.
  ASSERT_TRUE(write_matrix(path("a.dat").c_str(), 1, v, 1));
  EXPECT_EQ(dir.read("a.dat"), "1 \n");
}

TEST_F(ResultWriterTest, UnwritablePathFailsWithoutCreatingAnything) {
  const double v[1] = {1.0};
  EXPECT_FALSE(write_matrix(path("missing/a.dat").c_str(), 1, v, 1));
  EXPECT_FALSE(dir.exists("missing"));
  EXPECT_TRUE(dir.files().empty());
}

TEST(ResultFilesTest, WarnsOncePerUnwritableName) {
  ResultFiles files;
  testing::internal::CaptureStderr();
  files.check(false, "a.dat");
  files.check(true, "b.dat");
  files.check(false, "a.dat");
  files.check(false, "c.dat");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "warning: cannot write a.dat\nwarning: cannot write c.dat\n");
}

}  // namespace
