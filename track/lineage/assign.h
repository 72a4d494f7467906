// Deciding every pair's links by an exact assignment over the link model
// (assign.cpp): the matcher's links are the proposal, the model's costs
// decide.
#pragma once

#include <string>
#include <vector>

#include "track/lineage/corrections.h"
#include "track/lineage/link_cost.h"
#include "track/lineage/lineage.h"

namespace vantu {

// The movie's steps (TimeLapse.step) that pair t (frames t and t+1) spans: 1
// for consecutive frames, more across missing numbers.
int frames_between(const TimeLapse& tl, size_t t);

// Every pair's links (continuations at level 0, a division's daughters at
// levels 1 and 2) as the assignment of least cost decides them, starting
// from the motion the proposed links show; `fitted` (if given) receives the
// model fitted to the movie.
struct DecidedLinks {
  std::vector<PairLinks> links;
  LinkModel model;  // as fitted to the movie
  // [pair][cell of the later frame]: how much more the best assignment
  // without the cell's decided link costs (NaN: a cell decided as new).
  std::vector<std::vector<double>> margin;
  // The links decided again around the user's corrections (a daughter whose
  // sister the user gave away, the other half of a swap), as corrections for
  // the repairs to keep.
  std::vector<Correction> around;
  // With corrections: the links and the model of the same movie without
  // them (what a run without corrections decides).
  std::vector<PairLinks> free_links;
  LinkModel free_model;
};
// Where the last pass starts: the model and the links of the pass before,
// each pair's residuals, and a key of the movie and the proposal they came
// from. The passes before the last never see the corrections, so a rerun
// with corrections that is given the start of the same movie and proposal
// only runs the last pass, with the same result.
struct AssignStart {
  LinkModel model;
  std::vector<PairLinks> links;
  std::vector<std::vector<double>> spread;
  unsigned long long key = 0;
};
// The key of a movie and its proposal.
unsigned long long assign_start_key(const TimeLapse& tl, const std::vector<PairLinks>& proposed);
// AssignStart as text and back (doubles exactly); a text that cannot be
// read gives a start with key 0 (none).
std::string assign_start_text(const AssignStart& s);
AssignStart assign_start_of_text(const std::string& text);

// `fixed`: the user's corrections, which every pair's assignment of the last
// pass obeys. `start`: if its key is that of `tl` and `proposed`, the passes
// before the last are skipped; either way it receives the start of the last.
DecidedLinks assign_links(const TimeLapse& tl, const std::vector<PairLinks>& proposed,
                          const LinkConstraints& fixed = {}, AssignStart* start = nullptr);

// A link's confidence is the logistic of its margin (in the model's natural
// units) over this scale: a swap of two like cells is 1/2, and 0.9 takes a
// margin of 6.6 (on the agar movie and its every-2nd and every-3rd frame
// movies, wrong links are about as common at margins of 4 to 8 as below).
constexpr double kConfidenceScale = 3.0;

// The link model of a movie before any fit: its field, neighbour spacing and
// range of lengths, the rest at their defaults.
LinkModel movie_model(const TimeLapse& tl);

// The motion predicted at every cell of frame `a` (the one predictor of the
// assignment, the repairs and the confidence): the median displacement `dx,
// dy` (NaN: none) of its nearest neighbours, its own left out; the median of
// all where none is near.
void predicted_motion(const Frame& a, const CellGrid& grid, const std::vector<double>& dx,
                      const std::vector<double>& dy, std::vector<double>& mx, std::vector<double>& my);

// Flags kNoOrigin the first cell of every track without mother that starts
// after the first frame away from the border (and is not flagged already):
// a cell from nowhere, for a user to check. Returns how many.
int flag_orphans(const TimeLapse& tl, const LinkModel& m, Lineage& lin);

// Rates every link of `lin` that is the one the assignment decided by its
// margin, replacing `conf` there (or lowering it, for a flagged cell and a
// cell decided as new).
void assignment_confidence(const Lineage& lin, const DecidedLinks& d, std::vector<std::vector<double>>& conf);

}  // namespace vantu
