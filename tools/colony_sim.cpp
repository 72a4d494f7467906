// vantu-sim: simulates two time-lapse frames of a growing colony of rod-shaped
// bacteria and the true lineage between them. It generates this project's own
// example and test data (see kUsage below for the command line and files).
//
// Cell files hold "x y len angle id" per line: centre in image pixels (x to the
// right, y down), length in pixels, angle in degrees within [0, 360), id from 1
// in file order. A cell's axis is (cos t, -sin t) with t = angle / 57.3.
//
// Model: frame 1 is a jittered hexagonal packing with a smooth orientation
// field. Cells grow exponentially; a cell past its division length becomes two
// daughters at +/- a quarter of its length along its axis, which push their
// neighbours aside. The colony then expands a little, bends along a
// low-frequency sinusoid, rotates and shifts, and each cell gets measurement
// noise. Frame 2 is written in shuffled order.
//
// The output depends only on the arguments: the random generator, the normal
// deviates and sin/cos/exp/log (tools/sim_maths.h) use exactly rounded arithmetic,
// so no library routine that may differ between platforms is involved. (The
// build also keeps the compiler from fusing multiply-adds.)

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/sim_maths.h"
#include "tools/timelapse_sim.h"

namespace {

constexpr int kMaxCells = 1000;
constexpr double kDegPerRad = 57.3;  // the angle convention of the cell files
using namespace vantu_sim;

struct Options {
    // Command line.
    std::uint64_t seed = 1;
    int cells = 150;
    double divideFraction = 0.15;  // approximate share of frame-1 cells that divide
    std::string firstPath, secondPath, truthPath;

    // Model parameters (lengths in pixels, angles in degrees).
    double centreX = 512, centreY = 512;    // colony centre
    double spacing = 13;                    // lattice distance between neighbour centres
    double jitter = 1.5;                    // uniform +/- displacement of frame-1 centres
    double rimNoise = 13;                   // raggedness of the colony outline
    double minLength = 16;                  // shortest newborn cell
    double divideMin = 45, divideMax = 53;  // per-cell division length
    double maxOvershoot = 1.2;              // a divided cell's length stops at this times its
                                            //   division length (daughters do not divide again)
    double growthSpread = 0.15;             // relative s.d. of the per-cell growth rate
    double fieldAmplitude = 35;             // orientation field: amplitude of each wave,
    double fieldWavelength = 200;           //   and its wavelength
    double orientationNoise = 10;           // s.d. of a cell's angle around the field
    double splitSpread = 0.03;              // s.d. of a daughter's share of the length
    double daughterAngleNoise = 3;          // s.d. of a daughter's angle around its mother's
    double minDistance = 8;                 // daughters push their neighbours this far away,
    double daughterYield = 0.3;             //   giving way by this share themselves
    double expansion = 0.015;               // relative radial expansion from growth pressure
    double rotationMin = 1, rotationMax = 3;  // colony rotation, random sign
    double shiftMax = 4;                    // colony translation, per coordinate
    double warpAmplitude = 2.5, warpWavelength = 240;  // non-rigid sinusoidal bend
    double positionNoise = 0.7, angleNoise = 2.5, lengthNoise = 0.4;  // per cell, s.d.
};

enum Stream : std::uint64_t { kLayout = 1, kGrowth, kDrift, kNoise, kShuffle };

// ---- the colony ---------------------------------------------------------

struct Cell {
    double x, y, len, angle;
    int ancestor = 0;  // 1-based frame-1 id (frame 2 only)
    int divided = 0;
};

double wrapDegrees(double a) {
    a -= 360 * std::floor(a / 360);
    return (a >= 359.9995) ? 0 : a;  // would print as 360.000
}

// Centres of the N lattice sites nearest the colony centre, with a ragged rim,
// listed row by row like the labels of a segmented image.
std::vector<Cell> packColony(const Options& o, Rng& rng) {
    struct Site { int row, col; double x, y, key; };
    std::vector<Site> sites;
    const int reach = 30;  // 61 x 61 sites, enough for kMaxCells
    const double rowStep = o.spacing * std::sqrt(3.0) / 2;
    for (int row = -reach; row <= reach; ++row)
        for (int col = -reach; col <= reach; ++col) {
            const double x = (col + ((row % 2 != 0) ? 0.5 : 0.0)) * o.spacing;
            const double y = row * rowStep;
            const double ragged = rng.uniform(0, o.rimNoise);
            sites.push_back({row, col, x, y, std::sqrt(x * x + y * y) + ragged});
        }
    auto rowMajor = [](const Site& a, const Site& b) { return a.row != b.row ? a.row < b.row : a.col < b.col; };
    std::sort(sites.begin(), sites.end(),
              [&](const Site& a, const Site& b) { return a.key != b.key ? a.key < b.key : rowMajor(a, b); });
    sites.resize(o.cells);
    std::sort(sites.begin(), sites.end(), rowMajor);
    std::vector<Cell> cells;
    for (const Site& s : sites) {
        const double dx = rng.uniform(-o.jitter, o.jitter);
        const double dy = rng.uniform(-o.jitter, o.jitter);
        cells.push_back({o.centreX + s.x + dx, o.centreY + s.y + dy, 0, 0});
    }
    return cells;
}

// Neighbouring rods lie roughly parallel: two crossed waves plus noise.
void orientCells(const Options& o, Rng& rng, std::vector<Cell>& cells) {
    const double base = rng.uniform(0, 180);
    const double phaseX = rng.uniform(0, 2 * kPi), phaseY = rng.uniform(0, 2 * kPi);
    const double k = 2 * kPi / o.fieldWavelength;
    for (Cell& c : cells) {
        const double field = base + o.fieldAmplitude * (sinR(k * c.x + phaseX) + sinR(k * c.y + phaseY));
        c.angle = wrapDegrees(field + rng.normal(o.orientationNoise));
    }
}

struct Growth { double threshold, grown; };  // division length, length reached

// Frame-1 lengths are log-uniform between minLength and the cell's division
// length T, and the growth factor is exp(F * log(T / minLength)) on average, so
// about a share F of the cells passes T by the second frame.
std::vector<Growth> growCells(const Options& o, Rng& rng, std::vector<Cell>& cells) {
    std::vector<Growth> growth;
    for (Cell& c : cells) {
        const double threshold = rng.uniform(o.divideMin, o.divideMax);
        const double span = logR(threshold / o.minLength);
        c.len = o.minLength * expR(rng.uniform() * span);
        const double rate = o.divideFraction * span * std::max(0.0, 1 + rng.normal(o.growthSpread));
        growth.push_back({threshold, c.len * expR(rate)});
    }
    return growth;
}

// Lays out the second frame in frame-1 coordinates: grown cells, and two
// daughters at +/- a quarter of the grown length for each divided cell. A
// cell divides at most once. If the second frame would exceed kMaxCells, only
// the cells furthest past their threshold divide and the others stop at it.
std::vector<Cell> divideCells(const Options& o, Rng& rng, const std::vector<Cell>& first,
                              const std::vector<Growth>& growth) {
    std::vector<std::size_t> candidates;
    for (std::size_t i = 0; i < first.size(); ++i)
        if (growth[i].grown > growth[i].threshold) candidates.push_back(i);
    auto overshoot = [&](std::size_t i) { return growth[i].grown / growth[i].threshold; };
    std::stable_sort(candidates.begin(), candidates.end(),
                     [&](std::size_t a, std::size_t b) { return overshoot(a) > overshoot(b); });
    std::vector<char> divides(first.size(), 0);
    for (std::size_t k = 0; k < candidates.size() && first.size() + k < kMaxCells; ++k)
        divides[candidates[k]] = 1;

    std::vector<Cell> second;
    for (std::size_t i = 0; i < first.size(); ++i) {
        const Cell& c = first[i];
        const int id = static_cast<int>(i) + 1;
        if (!divides[i]) {
            second.push_back({c.x, c.y, std::min(growth[i].grown, growth[i].threshold), c.angle, id, 0});
            continue;
        }
        const double len = std::min(growth[i].grown, o.maxOvershoot * growth[i].threshold);
        const double t = c.angle / kDegPerRad;
        const double ax = cosR(t) * len / 4, ay = -sinR(t) * len / 4;
        const double share = 0.5 + rng.normal(o.splitSpread);
        const double angleA = c.angle + rng.normal(o.daughterAngleNoise);
        const double angleB = c.angle + rng.normal(o.daughterAngleNoise);
        second.push_back({c.x + ax, c.y + ay, len * share, angleA, id, 1});
        second.push_back({c.x - ax, c.y - ay, len * (1 - share), angleB, id, 1});
    }
    return second;
}

// Daughters land on or next to neighbouring cells. Pushing too-close pairs
// apart a few times spreads that growth pressure into the neighbourhood; the
// daughters themselves give way less than the cells they push.
void relieveCrowding(const Options& o, std::vector<Cell>& cells) {
    for (int sweep = 0; sweep < 30; ++sweep)
        for (std::size_t i = 0; i < cells.size(); ++i)
            for (std::size_t j = i + 1; j < cells.size(); ++j) {
                const double dx = cells[j].x - cells[i].x, dy = cells[j].y - cells[i].y;
                const double d = std::sqrt(dx * dx + dy * dy);
                if (d >= o.minDistance) continue;
                const double ux = (d > 0) ? dx / d : 1, uy = (d > 0) ? dy / d : 0;
                const double moveI = (cells[i].divided == cells[j].divided) ? 0.5
                                   : (cells[i].divided ? o.daughterYield : 1 - o.daughterYield);
                const double push = o.minDistance - d;
                cells[i].x -= push * moveI * ux;
                cells[i].y -= push * moveI * uy;
                cells[j].x += push * (1 - moveI) * ux;
                cells[j].y += push * (1 - moveI) * uy;
            }
}

// Moves the whole colony: radial expansion, a sinusoidal bend, then a
// rotation about the colony centre and a shift. Angles turn with the local
// rotation of this motion. Rotations count counter-clockwise on screen.
void driftColony(const Options& o, Rng& rng, std::vector<Cell>& cells) {
    const double sign = (rng.uniform() < 0.5) ? -1 : 1;
    const double rotation = sign * rng.uniform(o.rotationMin, o.rotationMax);
    const double shiftX = rng.uniform(-o.shiftMax, o.shiftMax);
    const double shiftY = rng.uniform(-o.shiftMax, o.shiftMax);
    const double phaseX = rng.uniform(0, 2 * kPi), phaseY = rng.uniform(0, 2 * kPi);
    const double k = 2 * kPi / o.warpWavelength, a = o.warpAmplitude;
    const double r = rotation / kDegPerRad, cr = cosR(r), sr = sinR(r);
    for (Cell& c : cells) {
        const double u0 = (c.x - o.centreX) * (1 + o.expansion);
        const double v0 = (c.y - o.centreY) * (1 + o.expansion);
        const double u = u0 + a * sinR(k * c.y + phaseX);
        const double v = v0 + a * sinR(k * c.x + phaseY);
        // Curl of the bend, with y pointing down: positive turns counter-clockwise.
        const double bend = 0.5 * a * k * (cosR(k * c.y + phaseX) - cosR(k * c.x + phaseY));
        c.x = o.centreX + shiftX + u * cr + v * sr;
        c.y = o.centreY + shiftY - u * sr + v * cr;
        c.angle += rotation + bend * kDegPerRad;
    }
}

void addNoise(const Options& o, Rng& rng, std::vector<Cell>& cells) {
    for (Cell& c : cells) {
        c.x += rng.normal(o.positionNoise);
        c.y += rng.normal(o.positionNoise);
        c.len += rng.normal(o.lengthNoise);
        c.angle = wrapDegrees(c.angle + rng.normal(o.angleNoise));
    }
}

void shuffleCells(Rng& rng, std::vector<Cell>& cells) {
    for (std::size_t i = cells.size(); i > 1; --i) std::swap(cells[i - 1], cells[rng.below(i)]);
}

// ---- command line and output --------------------------------------------

const char* const kUsage =
    "usage: vantu-sim [--seed S] [--cells N] [--divide-fraction F] FIRST_FILE SECOND_FILE TRUTH_FILE\n"
    "Simulates two frames of a dividing colony of rod-shaped cells.\n"
    "  --seed S               random seed, 0 to 2^64-1 (default 1)\n"
    "  --cells N              cells in the first frame, 1 to 1000 (default 150)\n"
    "  --divide-fraction F    approximate share of cells that divide, 0 to 1 (default 0.15)\n"
    "Cell files: one line \"x y len angle id\" per cell, angle in degrees in [0, 360).\n"
    "Truth file: one line \"second_id first_id divided\" per second-frame cell.\n"
    "vantu-sim --timelapse DIR [options] writes a whole time-lapse instead (--timelapse DIR --help).\n";

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "vantu-sim: %s\n", message.c_str());
    std::exit(1);
}

Options parseOptions(int argc, char** argv) {
    Options o;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (arg.size() < 2 || arg[0] != '-') {
            files.push_back(arg);
            continue;
        }
        if (arg != "--seed" && arg != "--cells" && arg != "--divide-fraction")
            fail("unknown option '" + arg + "' (try --help)");
        if (i + 1 >= argc) fail("option " + arg + " needs a value");
        const char* value = argv[++i];
        char* end = nullptr;
        errno = 0;
        if (arg == "--seed") {
            const unsigned long long s = std::strtoull(value, &end, 10);
            if (*value < '0' || *value > '9' || *end != '\0' || errno == ERANGE)
                fail("--seed needs an integer from 0 to 2^64-1, got '" + std::string(value) + "'");
            o.seed = s;
        } else if (arg == "--cells") {
            const long n = std::strtol(value, &end, 10);
            if (end == value || *end != '\0' || n < 1 || n > kMaxCells)
                fail("--cells needs an integer from 1 to 1000, got '" + std::string(value) + "'");
            o.cells = static_cast<int>(n);
        } else {
            const double f = std::strtod(value, &end);
            if (end == value || *end != '\0' || !(f >= 0 && f <= 1))
                fail("--divide-fraction needs a number from 0 to 1, got '" + std::string(value) + "'");
            o.divideFraction = f;
        }
    }
    if (files.size() != 3)
        fail("expected FIRST_FILE SECOND_FILE TRUTH_FILE, got " + std::to_string(files.size()) +
             " file name(s) (try --help)");
    o.firstPath = files[0];
    o.secondPath = files[1];
    o.truthPath = files[2];
    return o;
}

std::FILE* openForWriting(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "wb");  // "b": "\n" line ends everywhere
    if (!f) fail("cannot write '" + path + "': " + std::strerror(errno));
    return f;
}

void finish(std::FILE* f, const std::string& path) {
    const bool bad = std::ferror(f) != 0;
    if (std::fclose(f) != 0 || bad) fail("error writing '" + path + "'");
}

void writeCells(std::FILE* f, const std::vector<Cell>& cells) {
    for (std::size_t i = 0; i < cells.size(); ++i)
        std::fprintf(f, "%.3f %.3f %.3f %.3f %zu\n", cells[i].x, cells[i].y, cells[i].len, cells[i].angle, i + 1);
}

void writeTruth(std::FILE* f, const std::vector<Cell>& second) {
    std::fputs("# second_id first_id divided\n", f);
    for (std::size_t i = 0; i < second.size(); ++i)
        std::fprintf(f, "%zu %d %d\n", i + 1, second[i].ancestor, second[i].divided);
}

}  // namespace

int main(int argc, char** argv) {
    if (vantu_sim::wants_timelapse(argc, argv)) return vantu_sim::run_timelapse(argc, argv);
    const Options o = parseOptions(argc, argv);

    Rng layout(o.seed, kLayout), growthRng(o.seed, kGrowth), drift(o.seed, kDrift),
        noise(o.seed, kNoise), order(o.seed, kShuffle);
    std::vector<Cell> first = packColony(o, layout);
    orientCells(o, layout, first);
    const std::vector<Growth> growth = growCells(o, growthRng, first);
    std::vector<Cell> second = divideCells(o, growthRng, first, growth);
    relieveCrowding(o, second);
    driftColony(o, drift, second);
    addNoise(o, noise, second);
    shuffleCells(order, second);

    // Open all three before writing, so that a bad path stops the run before
    // any file is filled.
    std::FILE* firstFile = openForWriting(o.firstPath);
    std::FILE* secondFile = openForWriting(o.secondPath);
    std::FILE* truthFile = openForWriting(o.truthPath);
    writeCells(firstFile, first);
    writeCells(secondFile, second);
    writeTruth(truthFile, second);
    finish(firstFile, o.firstPath);
    finish(secondFile, o.secondPath);
    finish(truthFile, o.truthPath);
    return 0;
}
