// Deterministic arithmetic and random numbers of the colony simulator: the
// random generator, the normal deviates and sin/cos/exp/log are built here from
// exactly rounded arithmetic, so no library routine that may differ between
// platforms is involved and the simulator writes the same bytes everywhere.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace vantu_sim {

constexpr double kPi = 3.14159265358979323846;
constexpr double kLn2 = 0.69314718055994530942;

inline double sinR(double x) {
    x -= 2 * kPi * std::floor(x / (2 * kPi) + 0.5);  // now in [-pi, pi]
    double term = x, sum = x;
    for (int k = 1; k <= 15; ++k) sum += (term *= -x * x / ((2 * k) * (2 * k + 1)));
    return sum;
}

inline double cosR(double x) { return sinR(x + kPi / 2); }

inline double expR(double x) {
    const double k = std::floor(x / kLn2 + 0.5);
    const double r = x - k * kLn2;  // |r| <= ln2 / 2
    double term = 1, sum = 1;
    for (int i = 1; i <= 20; ++i) sum += (term *= r / i);
    return std::ldexp(sum, static_cast<int>(k));
}

inline double logR(double x) {  // x > 0
    int e = 0;
    const double m = std::frexp(x, &e);  // x = m * 2^e, m in [0.5, 1)
    const double z = (m - 1) / (m + 1), z2 = z * z;
    double power = z, sum = 0;
    for (int k = 0; k < 30; ++k, power *= z2) sum += power / (2 * k + 1);
    return e * kLn2 + 2 * sum;
}

// splitmix64; each stage of the simulation draws from its own stream, so that
// e.g. the colony drift does not change with the number of cells.
class Rng {
public:
    Rng(std::uint64_t seed, std::uint64_t stream) : state_(seed ^ (stream * 0xD1B54A32D192ED03ULL)) { next(); }
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }  // [0, 1)
    double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }
    double normal(double sd) {  // Box-Muller, one deviate per pair
        const double u1 = 1 - uniform();  // (0, 1]
        const double u2 = uniform();
        return sd * std::sqrt(-2 * logR(u1)) * cosR(2 * kPi * u2);
    }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }

private:
    std::uint64_t state_;
};

}  // namespace vantu_sim
