// The lockstep walk over up to ten sparse matrices of one shape.
//
// The walk visits, in row-major order, every position stored in at least one
// of its matrices, and at each position delivers the value of every matrix
// there (cval[l], 0.0 where matrix l stores nothing). The caller may overwrite
// the value just delivered for matrix l with store(l, v); where matrix l has no
// entry at the position, store does nothing. Each matrix keeps a
// run cursor into its pattern and a value cursor into its EA, so a pass reads
// the stored entries strictly in pattern order, never by (row, column).
#pragma once

#include <initializer_list>
#include <utility>

namespace vantu {

class LockstepWalk {
 public:
  static constexpr int kMaxMatrices = 10;

  // The (EA, cntr) pairs of the walk; the walk covers the leading pairs up to
  // the first null pattern. All must have the shape of the first.
  void begin(std::initializer_list<std::pair<double*, const int*>> matrices);

  // Move to the first / next position; false once the walk is over.
  bool first();
  bool next();

  int row() const { return row_; }
  int col() const { return col_; }
  int count() const { return Nm; }
  void store(int l, double v) {
    if (stored[l]) elcnt[l][-1] = v;
  }

  double cval[kMaxMatrices] = {};

 private:
  struct Cursor {
    const int* run = nullptr;   // current run triple
    const int* last = nullptr;  // last run triple
    int row = 0, first = 0, lastcol = 0;
  };
  void load_run(int l);
  void advance_run(int l);
  void deliver();
  void go_to_smallest();

  int Nm = 0;
  int rows = 0, cols = 0;
  int row_ = 0, col_ = 0;
  Cursor cur[kMaxMatrices];
  double* elcnt[kMaxMatrices] = {};
  bool stored[kMaxMatrices] = {};  // matrix l has an entry at the position
};

}  // namespace vantu
