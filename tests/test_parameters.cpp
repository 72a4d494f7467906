// The parameters vantu-track chooses from the data: the reach follows the
// neighbour spacing and the colony's motion, frames that say nothing about
// the motion (blank, nearly blank, one stray pair) do not set it, a choice
// that cannot anneal is reported, and the schedule written into
// softconfig.dat is the one a run with --config repeats.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run/config.h"
#include "tests/harness.h"
#include "track/track.h"

using vantu_test::Outcome;
using vantu_test::RunDir;
using namespace vantu;

namespace {

// A 5 x 5 square of cells 20 px apart around (cx, cy).
Frame square_at(double cx, double cy) {
  Frame f;
  for (int k = 0; k < 25; ++k) {
    f.x.push_back(cx + 20.0 * (k % 5 - 2));
    f.y.push_back(cy + 20.0 * (k / 5 - 2));
    f.length.push_back(15);
    f.angle.push_back(0);
    f.id.push_back(k + 1);
  }
  return f;
}

// Frames of the square moving `step` px to the right per frame.
TimeLapse moving_square(int frames, double step) {
  TimeLapse tl;
  for (int t = 0; t < frames; ++t) {
    tl.frames.push_back(square_at(500 + step * t, 400));
    tl.frames.back().number = t;
  }
  return tl;
}

void expect_same_choice(const ChosenParameters& a, const ChosenParameters& b) {
  EXPECT_DOUBLE_EQ(a.motion, b.motion);
  EXPECT_DOUBLE_EQ(a.params.rEvar, b.params.rEvar);
  EXPECT_DOUBLE_EQ(a.params.BetaInit, b.params.BetaInit);
}

TEST(ParameterChoice, TwoColoniesFarApartDoNotMakeEachOthersMotion) {
  // Two squares 1000 px apart, each moving 5 px per frame; the right one
  // loses a different cell in every frame, which would shift the whole
  // field's centroid by about 20 px.
  TimeLapse tl;
  for (int t = 0; t < 5; ++t) {
    Frame f = square_at(400 + 5.0 * t, 400);
    const Frame other = square_at(1400 + 5.0 * t, 400);
    for (int k = 0; k < 25; ++k) {
      if (k < 3 * (t % 2)) continue;
      f.x.push_back(other.x[static_cast<size_t>(k)]), f.y.push_back(other.y[static_cast<size_t>(k)]);
      f.length.push_back(15), f.angle.push_back(0), f.id.push_back(100 + k);
    }
    f.number = t;
    tl.frames.push_back(f);
  }
  EXPECT_LT(choose_parameters(tl).motion, 15.0);
}

TEST(ParameterChoice, ReachCoversTheSpacingOrTheMotionWhicheverIsLarger) {
  // Still: the reach is 1.5 spacings (30 px), and BetaInit * rEvar * s^2 = 0.4.
  const ChosenParameters still = choose_parameters(moving_square(4, 0));
  EXPECT_DOUBLE_EQ(still.spacing, 20);
  EXPECT_DOUBLE_EQ(still.motion, 0);
  EXPECT_DOUBLE_EQ(still.params.rEvar, 1.0 / (30.0 * 30.0));
  EXPECT_DOUBLE_EQ(still.params.BetaInit, 0.4 * 900 / 400);
  // Moving 40 px per frame: the reach is 1.25 times the motion (50 px).
  const ChosenParameters moving = choose_parameters(moving_square(4, 40));
  EXPECT_DOUBLE_EQ(moving.motion, 40);
  EXPECT_DOUBLE_EQ(moving.params.rEvar, 1.0 / (50.0 * 50.0));
  EXPECT_DOUBLE_EQ(moving.params.BetaInit, 0.4 * 2500 / 400);
  EXPECT_TRUE(moving.warning.empty());
}

TEST(ParameterChoice, BlankFramesAndOneStrayPairDoNotSetTheMotion) {
  const ChosenParameters plain = choose_parameters(moving_square(6, 10));
  // A blank frame (its centroid would be the origin, 500 px away) and a
  // frame of two stray detections in a corner.
  TimeLapse gaps = moving_square(6, 10);
  gaps.frames.insert(gaps.frames.begin() + 2, Frame());
  Frame stray;
  stray.x = {10, 30};
  stray.y = {10, 10};
  stray.length = stray.angle = {15, 15};
  stray.id = {1, 2};
  gaps.frames.insert(gaps.frames.begin() + 5, stray);
  expect_same_choice(choose_parameters(gaps), plain);
  // The last frame jumps 300 px: one pair of five, not the one that counts.
  TimeLapse jump = moving_square(6, 10);
  for (double& x : jump.frames.back().x) x += 300;
  expect_same_choice(choose_parameters(jump), plain);
}

TEST(ParameterChoice, AChoiceThatCannotAnnealIsReported) {
  // 1000 px per frame with cells 20 px apart: BetaInit would be above BetaMax.
  const ChosenParameters c = choose_parameters(moving_square(3, 1000));
  EXPECT_GE(c.params.BetaInit, c.params.BetaMax);
  EXPECT_NE(c.warning.find("BetaInit"), std::string::npos) << c.warning;

  RunDir d;
  std::vector<std::string> args = {"-o", "out"};
  for (int t = 0; t < 3; ++t) {
    const std::string name = "f" + std::to_string(t) + ".dat";
    d.write(name, point_file_text(square_at(500 + 1000.0 * t, 400)));
    args.push_back(name);
  }
  const Outcome o = d.run(args, VANTU_TRACK_BIN);
  EXPECT_NE(o.err.find("warning: the chosen BetaInit"), std::string::npos) << o.err;
}

TEST(ParameterChoice, ScheduleIsWrittenWithItsReasonAndRepeatedByConfig) {
  RunDir d;
  std::vector<std::string> frames;
  for (int t = 0; t < 3; ++t) {
    frames.push_back("f" + std::to_string(t) + ".dat");
    d.write(frames.back(), point_file_text(square_at(500 + 3.0 * t, 400)));
  }
  std::vector<std::string> args = {"-o", "a"};
  args.insert(args.end(), frames.begin(), frames.end());
  ASSERT_EQ(d.run(args, VANTU_TRACK_BIN).status, 0);
  const std::string config = d.read("a/softconfig.dat");
  ParameterSet p;
  load_config(p, d.file("a/softconfig.dat").c_str());
  const ChosenParameters chosen = choose_parameters(moving_square(3, 3));
  EXPECT_EQ(p.BetaIncr, chosen.params.BetaIncr);
  EXPECT_EQ(chosen.params.BetaIncr, 1.5);
  // A colony that gains 40 % of its cells between frames: finer steps.
  TimeLapse dividing;
  for (int count : {25, 35, 49, 69}) {
    Frame f;
    for (int k = 0; k < count; ++k) {
      f.x.push_back(500 + 20.0 * (k % 5));
      f.y.push_back(400 + 20.0 * (k / 5));
      f.length.push_back(15);
      f.angle.push_back(0);
      f.id.push_back(k + 1);
    }
    dividing.frames.push_back(f);
  }
  EXPECT_EQ(choose_parameters(dividing).params.BetaIncr, 1.15);
  EXPECT_NE(config.find("BetaIncr " + number_text(p.BetaIncr)), std::string::npos) << config;

  args = {"-o", "b", "--config", d.file("a/softconfig.dat")};
  args.insert(args.end(), frames.begin(), frames.end());
  ASSERT_EQ(d.run(args, VANTU_TRACK_BIN).status, 0);
  EXPECT_EQ(d.read("b/softconfig.dat"), config);
  EXPECT_EQ(d.read("b/cells.csv"), d.read("a/cells.csv"));
  EXPECT_EQ(d.read("b/pairs.log").substr(0, 40), d.read("a/pairs.log").substr(0, 40));
}

}  // namespace
