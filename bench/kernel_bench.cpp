// Times the grouped solver against Gauss-Jordan on a random system with the
// block structure of the spline equations (order 3M+9, one group per
// component) and checks that the solutions agree bit for bit.
//
//   cmake --build build --target vantu-kernel-bench
//   build/vantu-kernel-bench M [threads] [plain]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "matrix/grouped_solve.h"
#include "matrix/simple_matrix.h"

int main(int argc, char** argv) {
  const int M = argc > 1 ? std::atoi(argv[1]) : 300;
  const int threads = argc > 2 ? std::atoi(argv[2]) : 1;
  const bool plain = argc > 3;
  const int n = 3 * M + 9;
  std::mt19937_64 rng(1);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> A(static_cast<size_t>(n) * n, 0.0), B(static_cast<size_t>(n));
  for (int r = 0; r < n; ++r) {
    B[r] = u(rng);
    for (int c = 0; c < n; ++c)
      if (r % 3 == c % 3) A[static_cast<size_t>(r) * n + c] = u(rng);
    A[static_cast<size_t>(r) * n + r] += 4.0;
  }
  std::vector<double> x = B, y = B;
  auto t0 = std::chrono::steady_clock::now();
  vantu::Workers workers(threads);
  vantu::reverse_grouped(n, A.data(), x.data(), workers, 3);
  auto t1 = std::chrono::steady_clock::now();
  std::printf("grouped n=%d threads=%d: %.3f s\n", n, threads, std::chrono::duration<double>(t1 - t0).count());
  if (plain) {
    vantu::reverse(n, 1, A.data(), y.data());
    auto t2 = std::chrono::steady_clock::now();
    std::printf("plain: %.3f s, same bits: %s\n", std::chrono::duration<double>(t2 - t1).count(),
                std::memcmp(x.data(), y.data(), sizeof(double) * n) == 0 ? "yes" : "NO");
  }
  return 0;
}
