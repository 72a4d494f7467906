#include "run/config.h"

#include "input/load_points.h"

namespace vantu {

const char* const kConfigFile = "softconfig.dat";

namespace {

constexpr int kConfigCapacity = 100;
constexpr int kConfigValues = 16;

// Value k (1-based) is applied only when value 17 - k is present and is zero
// or positive; a NaN gate fails the test and keeps the default.
bool gate_open(const double* v, int count, int k) {
  int gate = kConfigValues + 1 - k;
  return k <= count && gate <= count && v[gate - 1] >= 0.0;
}

void set_int(int& field, double value) {
  bool ok = false;
  int n = round_to_int(value, &ok);
  if (ok) field = n;
}

}  // namespace

void load_config(ParameterSet& p, const char* path) {
  double v[kConfigCapacity] = {};
  ColumnSlot slots[5] = {{1, v, kConfigCapacity}, {0, nullptr, 0}, {0, nullptr, 0},
                         {0, nullptr, 0}, {0, nullptr, 0}};
  ColumnCounts counts = read_columns(path, slots);
  int n = counts.stored[0];

  double* const real_fields[8] = {&p.BetaInit, &p.BetaIncr, &p.BetaMax, &p.lambda1,
                                  &p.lambda2,  &p.TH,       &p.rEvar,   &p.alphaS};
  for (int k = 1; k <= 8; ++k)
    if (gate_open(v, n, k)) *real_fields[k - 1] = v[k - 1];

  int* const int_fields[7] = {&p.MaxSplit, &p.nx, &p.ny, &p.Nlen, &p.Nang, &p.Nid, &p.nz};
  for (int k = 9; k <= 15; ++k)
    if (gate_open(v, n, k)) set_int(*int_fields[k - 9], v[k - 1]);
}

void print_parameter_report(const ParameterSet& p, std::FILE* out) {
  std::fprintf(out,
               "  BetaInit=%g --- annealing params\n"
               "  BetaIncr=%g\n"
               "  BetaMax=%g\n"
               "  lambda1=%g --- warp penalty\n"
               "  lambda2=%g --- affine penalty\n"
               "  TH=%g --- theta: num slacks, ~1 if variances of deviations are correct\n"
               "  rEvar=%g --- reversals of variances, only needed if len stats are not used\n"
               "  MaxSplit=%d --- 1,2,or 3: 1 = non-splits, 2 for 2 permute matrices, 3 for 3\n"
               "  nx=%d --- num of x column\n"
               "  ny=%d --- num of y column\n"
               "  if dim=3 nz=%d --- num of z column if any)\n"
               "  Nid=%d --- num of id column)\n"
               "  Nang=%d --- num of angle column)\n"
               "  Nlen=%d --- num of length column)\n"
               "  alphaS=%g --- shrinking coefficient\n",
               p.BetaInit, p.BetaIncr, p.BetaMax, p.lambda1, p.lambda2, p.TH, p.rEvar, p.MaxSplit,
               p.nx, p.ny, p.nz, p.Nid, p.Nang, p.Nlen, p.alphaS);
}

}  // namespace vantu
