#include "match/sparseM.h"

#include "base/check.h"

namespace vantu {

void LockstepWalk::begin(std::initializer_list<std::pair<double*, const int*>> matrices) {
  Nm = 0;
  const int* cntr0 = nullptr;
  for (const auto& m : matrices) {
    if (m.second == nullptr || Nm == kMaxMatrices) break;
    if (Nm == 0) cntr0 = m.second;
    VANTU_REQUIRE(m.second[0] == cntr0[0] && m.second[1] == cntr0[1],
                  "cntr[Nm][0] == cntr[0][0] && cntr[Nm][1] == cntr[0][1]");
    const int* cntr = m.second;
    Cursor& c = cur[Nm];
    c.run = cntr + 3;
    c.last = cntr + 3 * cntr[2];
    elcnt[Nm] = m.first + 1;
    ++Nm;
  }
  rows = Nm > 0 ? cntr0[0] : 0;
  cols = Nm > 0 ? cntr0[1] : 0;
  for (int l = 0; l < Nm; ++l) load_run(l);
}

void LockstepWalk::load_run(int l) {
  Cursor& c = cur[l];
  if (c.run > c.last) {  // exhausted
    c.row = rows;
    c.first = c.lastcol = cols;
  } else {
    c.row = c.run[0];
    c.first = c.run[1];
    c.lastcol = c.run[2];
  }
}

void LockstepWalk::advance_run(int l) {
  cur[l].run += 3;
  load_run(l);
}

void LockstepWalk::deliver() {
  for (int l = 0; l < Nm; ++l) {
    Cursor& c = cur[l];
    stored[l] = c.row == row_ && c.first <= col_ && col_ <= c.lastcol;
    if (stored[l]) {
      cval[l] = *elcnt[l]++;
      if (col_ == c.lastcol) advance_run(l);
    } else {
      cval[l] = 0.0;
    }
  }
}

void LockstepWalk::go_to_smallest() {
  row_ = rows;
  col_ = cols;
  for (int l = 0; l < Nm; ++l) {
    const Cursor& c = cur[l];
    if (c.row < row_ || (c.row == row_ && c.first < col_)) {
      row_ = c.row;
      col_ = c.first;
    }
  }
}

bool LockstepWalk::first() {
  go_to_smallest();
  if (row_ >= rows) return false;
  deliver();
  return true;
}

bool LockstepWalk::next() {
  bool covered = false;
  for (int l = 0; l < Nm && !covered; ++l) {
    const Cursor& c = cur[l];
    covered = c.row == row_ && c.first <= col_ + 1 && col_ + 1 <= c.lastcol;
  }
  if (covered)
    ++col_;
  else
    go_to_smallest();
  if (row_ >= rows) return false;
  deliver();
  return true;
}

}  // namespace vantu
