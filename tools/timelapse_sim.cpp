// vantu-sim --timelapse: a whole time-lapse of a growing colony with its true
// lineage (files and their layout in timelapse_sim.h, command line in kUsage).
//
// Model, in pixels at magnification 1 (every model length is multiplied by
// --magnification): cells are rods of width 13 whose length grows
// exponentially (doubling about every 13.5 frames at --step 1) up to a per-cell
// division length of 45 to 53; a dividing cell becomes two daughters end to
// end along its axis, of lengths adding up to the mother's, with slightly
// different angles. Neighbours are pushed apart by relaxing the overlaps of
// the ellipses inscribed in the rods, a few Gauss-Seidel sweeps per sub-step
// over a grid of buckets. The colony grows from up to four founders until it
// reaches --cells; that is the first frame.
//
// Each frame is then observed: a share of the cells is missed, spurious
// detections are added (debris near a cell, or a cell over-segmented into two
// pieces), and every detection is moved by the stage drift (a random walk), a
// smooth sinusoidal warp drawn afresh for each frame, and measurement noise.
//
// Each stage draws from its own random stream, so e.g. the rate of missed
// cells does not change the colony itself.

#include "tools/timelapse_sim.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "image/image.h"
#include "tools/sim_maths.h"

namespace vantu_sim {

namespace {

constexpr int kMaxDetections = 20000;  // most detections one frame may hold
// Colonies up to this size fit the default field (the colony centre at 512 px
// at magnification 1); a larger one gets a field grown in proportion to its
// radius.
constexpr double kCellsInDefaultField = 1000;
constexpr double kCellsMovingAsOne = 250;  // past this size the colony spreads with its growth
constexpr double kLargeFieldMargin = 1.4;  // room for a colony longer than wide, and the drift
constexpr double kDegPerRad = 57.3;    // the angle convention of the cell files

struct TimelapseOptions {
    std::string dir;
    std::uint64_t seed = 1;
    int frames = 50;
    int cells = 30;
    int maxCells = kMaxDetections;
    double magnification = 1;
    double step = 1;          // time between frames, in units of the default interval
    double missing = 0;       // share of real cells not detected in a frame
    double spurious = 0;      // spurious detections per frame, as a share of the detected cells
    double splitShare = 0.25; // share of the spurious detections that are over-segmentations
    double noise = 0.5;       // position noise s.d., output pixels
    double drift = 1.5;       // stage drift s.d. per frame and coordinate, output pixels
    double warp = 1.5;        // amplitude of the per-frame warp, output pixels
    bool masks = false;       // also draw each frame as a label mask
    bool fluorescence = false;  // and a 16-bit fluorescence channel beside each mask
    double slide = 0;         // share of cells that slide along their axis in a frame
    int colonies = 1;         // colonies far apart in one field
};

// Model constants at magnification 1 (lengths in pixels, angles in degrees,
// times in frames at --step 1).
struct Model {
    double centre = 512;                    // colony centre, both coordinates
    double width = 13;                      // rod width: side-by-side neighbour distance
    double divideMin = 45, divideMax = 53;  // per-cell division length
    double founderSpread = 30;              // founders start within this distance of the centre
    double doublingTime = 13.5;             // mean doubling time of a cell's length
    double growthSpread = 0.2;              // relative s.d. of a cell's growth rate
    double splitSpread = 0.04;              // s.d. of a daughter's share of the length
    double daughterAngleNoise = 3;          // s.d. of a daughter's angle around its mother's
    double angleDiffusion = 1;              // s.d. of a cell's turning per frame
    double debrisMin = 5, debrisMax = 13;   // debris length
    double segmentMin = 0.55, segmentMax = 0.7;  // larger piece of an over-segmented cell
    double warpWavelength = 240;
    double angleNoise = 2.5, lengthNoise = 0.4;  // measurement noise, s.d.
    int sweeps = 4;                         // relaxation sweeps per sub-step
    int substepsPerFrame = 4;               // sub-steps per frame interval (at least 2 per frame)
};

enum Stream : std::uint64_t { kFounders = 101, kGrowth, kDetect, kStage, kNoise, kOrder, kSlide };

struct LiveCell {
    double x, y, len, angle, threshold, rate;
    int uid;  // track of this cell in the lineage, from 1
};

// Every track ever made, indexed by uid (entry 0 unused): real cells and, as
// tracks of their own, spurious detections.
struct Lineage {
    std::vector<int> parent{0};
    std::vector<char> detected{0};  // has at least one detection so far
    std::vector<int> lastId{0};     // its detection's id in the previous frame, 0 if none
    std::vector<char> alive{0};     // alive at the previous frame
    int add(int parentUid) {
        parent.push_back(parentUid);
        detected.push_back(0);
        lastId.push_back(0);
        alive.push_back(0);
        return static_cast<int>(parent.size()) - 1;
    }
};

struct Detection {
    double x, y, len, angle;
    int uid;
    bool spurious;
    int id = 0;
};

struct Colony {
    const TimelapseOptions& opt;
    Model m;  // scaled to the magnification
    int realCap;
    std::vector<LiveCell> cells;
    Lineage lineage;
    Rng founders, growth, detect, stage, noise, order, slide;
    double stageX = 0, stageY = 0;

    explicit Colony(const TimelapseOptions& o)
        : opt(o), founders(o.seed, kFounders), growth(o.seed, kGrowth), detect(o.seed, kDetect),
          stage(o.seed, kStage), noise(o.seed, kNoise), order(o.seed, kOrder), slide(o.seed, kSlide) {}
};

double wrapDegrees(double a) {
    a -= 360 * std::floor(a / 360);
    return (a >= 359.9995) ? 0 : a;  // would print as 360.000
}

Model scaledModel(double f) {
    Model m;
    for (double* v : {&m.centre, &m.width, &m.divideMin, &m.divideMax, &m.founderSpread, &m.debrisMin,
                      &m.debrisMax, &m.warpWavelength, &m.lengthNoise})
        *v *= f;
    return m;
}

// Most detections a frame may hold for real cells, leaving room for the
// spurious ones.
int realCellCap(const TimelapseOptions& o) {
    return std::max(1, static_cast<int>(std::floor(o.maxCells / (1 + o.spurious))));
}

LiveCell newCell(Colony& c, Rng& rng, int uid, double x, double y, double len, double angle) {
    const double threshold = rng.uniform(c.m.divideMin, c.m.divideMax);
    const double rate = kLn2 / c.m.doublingTime * std::max(0.2, 1 + rng.normal(c.m.growthSpread));
    return {x, y, len, angle, threshold, rate, uid};
}

// The colony centre: the default one, moved out with the radius the colony is
// expected to reach (cells double about every doubling time), with a margin,
// when it would hold more cells than the default field.
double colonyCentre(const TimelapseOptions& o, const Model& m) {
    const double generations = (o.frames - 1) * o.step / m.doublingTime;
    const double expected = std::min(static_cast<double>(realCellCap(o)),
                                     1.2 * o.cells * expR(std::min(generations, 40.0) * kLn2));
    if (expected <= kCellsInDefaultField) return m.centre;
    return m.centre * kLargeFieldMargin * std::sqrt(expected / kCellsInDefaultField);
}

// Where colony k of --colonies grows: the centre for one colony, else
// kColonyApart of the field's half width apart.
constexpr double kColonyApart = 0.68;
void colonyPlace(const Colony& c, int k, double& x, double& y) {
    x = y = c.m.centre;
    if (c.opt.colonies == 1) return;
    const double d = kColonyApart * c.m.centre;
    if (c.opt.colonies == 2) {
        x += k == 0 ? -d : d;
    } else {
        x += k == 0 ? -d : k == 1 ? d : 0;
        y += k == 2 ? d : -0.5 * d;
    }
}

// Up to four founders near the centre (per colony), at random points of their
// cell cycle.
void placeFounders(Colony& c) {
    const int n = std::min(c.opt.cells, 4 * c.opt.colonies);
    for (int k = 0; k < n; ++k) {
        const bool first = k < c.opt.colonies;
        double cx, cy;
        colonyPlace(c, k % c.opt.colonies, cx, cy);
        const double r = first ? 0 : c.founders.uniform(0.5, 1) * c.m.founderSpread;
        const double phi = c.founders.uniform(0, 2 * kPi);
        const double angle = c.founders.uniform(0, 180);
        const int uid = c.lineage.add(0);
        LiveCell cell = newCell(c, c.founders, uid, cx + r * cosR(phi), cy - r * sinR(phi), 0, angle);
        cell.len = cell.threshold / 2 * expR(c.founders.uniform() * kLn2);
        c.cells.push_back(cell);
    }
}

// A cell past its division length becomes two daughters end to end: the first
// keeps the mother's place in the list, the second is appended. At the cap a
// cell stops at its division length instead.
void divideCells(Colony& c) {
    const std::size_t n = c.cells.size();
    for (std::size_t i = 0; i < n; ++i) {
        LiveCell mother = c.cells[i];
        if (mother.len < mother.threshold) continue;
        if (static_cast<int>(c.cells.size()) >= c.realCap) {
            c.cells[i].len = mother.threshold;
            continue;
        }
        const double share = std::min(0.65, std::max(0.35, 0.5 + c.growth.normal(c.m.splitSpread)));
        const double t = mother.angle / kDegPerRad, ax = cosR(t), ay = -sinR(t);
        const double L = mother.len;
        const double offA = -L / 2 + L * share / 2, offB = L * share / 2;  // along the axis
        const double angleA = mother.angle + c.growth.normal(c.m.daughterAngleNoise);
        const double angleB = mother.angle + c.growth.normal(c.m.daughterAngleNoise);
        const int uidA = c.lineage.add(mother.uid), uidB = c.lineage.add(mother.uid);
        c.cells[i] = newCell(c, c.growth, uidA, mother.x + offA * ax, mother.y + offA * ay, L * share, angleA);
        c.cells.push_back(
            newCell(c, c.growth, uidB, mother.x + offB * ax, mother.y + offB * ay, L * (1 - share), angleB));
    }
}

// Distance from an ellipse's centre to its rim in the unit direction (ux, uy).
double rimDistance(double ux, double uy, double ax, double ay, double halfLen, double halfWidth) {
    const double along = (ux * ax + uy * ay) / halfLen;
    const double across = (-ux * ay + uy * ax) / halfWidth;
    return 1 / std::sqrt(along * along + across * across);
}

// Pushes overlapping cells apart along the line between their centres, each
// by half the overlap. Pairs are found in a grid of buckets as wide as the
// longest cell, so a sweep costs O(n); cells are visited in list order, which
// keeps the result deterministic.
void relaxOverlaps(Colony& c) {
    std::vector<LiveCell>& cells = c.cells;
    const std::size_t n = cells.size();
    if (n < 2) return;
    std::vector<double> ax(n), ay(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = cells[i].angle / kDegPerRad;
        ax[i] = cosR(t);
        ay[i] = -sinR(t);
    }
    const double halfWidth = c.m.width / 2;
    for (int sweep = 0; sweep < c.m.sweeps; ++sweep) {
        double size = c.m.width, minX = cells[0].x, minY = cells[0].y, maxX = minX, maxY = minY;
        for (const LiveCell& cell : cells) {
            size = std::max(size, cell.len);
            minX = std::min(minX, cell.x), maxX = std::max(maxX, cell.x);
            minY = std::min(minY, cell.y), maxY = std::max(maxY, cell.y);
        }
        const int nx = static_cast<int>((maxX - minX) / size) + 1, ny = static_cast<int>((maxY - minY) / size) + 1;
        std::vector<int> bucketOf(n), start(static_cast<std::size_t>(nx) * ny + 1, 0), members(n);
        for (std::size_t i = 0; i < n; ++i) {
            const int bx = static_cast<int>((cells[i].x - minX) / size), by = static_cast<int>((cells[i].y - minY) / size);
            bucketOf[i] = by * nx + bx;
            ++start[bucketOf[i] + 1];
        }
        for (std::size_t b = 1; b < start.size(); ++b) start[b] += start[b - 1];
        std::vector<int> fill(start.begin(), start.end() - 1);
        for (std::size_t i = 0; i < n; ++i) members[fill[bucketOf[i]]++] = static_cast<int>(i);

        for (std::size_t i = 0; i < n; ++i) {
            const int bx = bucketOf[i] % nx, by = bucketOf[i] / nx;
            for (int y = std::max(0, by - 1); y <= std::min(ny - 1, by + 1); ++y)
                for (int x = std::max(0, bx - 1); x <= std::min(nx - 1, bx + 1); ++x) {
                    const int b = y * nx + x;
                    for (int k = start[b]; k < start[b + 1]; ++k) {
                        const std::size_t j = static_cast<std::size_t>(members[k]);
                        if (j <= i) continue;
                        LiveCell &p = cells[i], &q = cells[j];
                        const double dx = q.x - p.x, dy = q.y - p.y;
                        const double d = std::sqrt(dx * dx + dy * dy);
                        const double ux = (d > 0) ? dx / d : 1, uy = (d > 0) ? dy / d : 0;
                        const double contact = rimDistance(ux, uy, ax[i], ay[i], p.len / 2, halfWidth) +
                                               rimDistance(ux, uy, ax[j], ay[j], q.len / 2, halfWidth);
                        if (d >= contact) continue;
                        const double push = (contact - d) / 2;
                        p.x -= push * ux, p.y -= push * uy;
                        q.x += push * ux, q.y += push * uy;
                    }
                }
        }
    }
}

// A large colony grows everywhere at once, so it spreads like a uniformly
// growing sheet: every cell moves away from the centroid in proportion to its
// distance, by the square root of the growth of the cells' area (`area`, the
// ratio of their summed lengths). The relaxation alone would move the growth
// of the inside outwards by about one cell per sweep, too slowly across a
// colony of hundreds of cells; its overlaps would then jolt cells by one or
// more spacings between frames. (Colonies of up to kCellsMovingAsOne cells
// are left to the relaxation alone, as they always were, so that their files
// stay the same.)
void spreadWithGrowth(Colony& c, double area) {
    double cx = 0, cy = 0;
    for (const LiveCell& cell : c.cells) cx += cell.x, cy += cell.y;
    cx /= static_cast<double>(c.cells.size());
    cy /= static_cast<double>(c.cells.size());
    const double f = std::sqrt(area);
    for (LiveCell& cell : c.cells) {
        cell.x = cx + (cell.x - cx) * f;
        cell.y = cy + (cell.y - cy) * f;
    }
}

// Lets time `dt` (in frame intervals at --step 1) pass in sub-steps: growth,
// a little turning, divisions, relaxation.
void advance(Colony& c, double dt) {
    const int substeps = std::max(2, static_cast<int>(std::ceil(dt * c.m.substepsPerFrame)));
    const double h = dt / substeps, turn = c.m.angleDiffusion * std::sqrt(h);
    for (int s = 0; s < substeps; ++s) {
        double before = 0, after = 0;
        for (LiveCell& cell : c.cells) {
            before += cell.len;
            cell.len *= expR(cell.rate * h);
            after += cell.len;
            cell.angle += c.growth.normal(turn);
        }
        if (static_cast<double>(c.cells.size()) > kCellsMovingAsOne) spreadWithGrowth(c, after / before);
        divideCells(c);
        relaxOverlaps(c);
    }
}

// Rods that slide along their own axis past their neighbours: each cell, with
// chance --slide, moves by one to two rod widths either way along its axis.
void slideCells(Colony& c) {
    for (LiveCell& cell : c.cells) {
        if (c.slide.uniform() >= c.opt.slide) continue;
        const double s = c.slide.uniform(1, 2) * c.m.width * (c.slide.uniform() < 0.5 ? -1 : 1);
        const double t = cell.angle / kDegPerRad;
        cell.x += s * cosR(t);
        cell.y -= s * sinR(t);
    }
}

// Grows the founders into a colony of at least --cells cells (or the cap).
void growFirstColony(Colony& c) {
    placeFounders(c);
    relaxOverlaps(c);
    const int target = std::min(c.opt.cells, c.realCap);
    while (static_cast<int>(c.cells.size()) < target) advance(c, 0.5);
}

// Draws one frame's detections in true coordinates: the cells not missed (an
// over-segmented cell as its larger piece, which keeps the cell's identity,
// and its smaller piece, a spurious detection), then debris near random cells.
std::vector<Detection> detectCells(Colony& c) {
    std::vector<Detection> out;
    for (const LiveCell& cell : c.cells)
        if (c.detect.uniform() >= c.opt.missing) out.push_back({cell.x, cell.y, cell.len, cell.angle, cell.uid, false});
    const std::size_t realSeen = out.size();
    int extra = static_cast<int>(std::floor(c.opt.spurious * static_cast<double>(realSeen) + c.detect.uniform()));
    extra = std::min(extra, c.opt.maxCells - static_cast<int>(realSeen));
    std::vector<char> split(realSeen, 0);
    for (int k = 0; k < extra; ++k) {
        const bool overSegment = c.detect.uniform() < c.opt.splitShare && realSeen > 0;
        const std::size_t pick = c.detect.below(overSegment ? realSeen : c.cells.size());
        if (overSegment && !split[pick]) {
            split[pick] = 1;
            Detection& whole = out[pick];
            const double f = c.detect.uniform(c.m.segmentMin, c.m.segmentMax);
            const double sign = (c.detect.uniform() < 0.5) ? -1 : 1;
            const double t = whole.angle / kDegPerRad, ax = sign * cosR(t), ay = -sign * sinR(t);
            const double L = whole.len;
            const double offLarge = (1 - f) * L / 2, offSmall = -f * L / 2;  // along +/- the axis
            Detection piece{whole.x + offSmall * ax, whole.y + offSmall * ay, (1 - f) * L, whole.angle, 0, true};
            whole.x += offLarge * ax, whole.y += offLarge * ay, whole.len = f * L;
            out.push_back(piece);
        } else {
            const LiveCell& near = c.cells[c.detect.below(c.cells.size())];
            const double r = c.detect.uniform(0.3, 1) * c.m.width, phi = c.detect.uniform(0, 2 * kPi);
            const double len = c.detect.uniform(c.m.debrisMin, c.m.debrisMax);
            out.push_back({near.x + r * cosR(phi), near.y - r * sinR(phi), len, c.detect.uniform(0, 360), 0, true});
        }
    }
    return out;
}

// Stage drift (a random walk from frame 0 on), the frame's smooth warp with the
// local rotation it gives the cells, and measurement noise.
void observe(Colony& c, int frame, std::vector<Detection>& dets) {
    if (frame > 0) {
        c.stageX += c.stage.normal(c.opt.drift);
        c.stageY += c.stage.normal(c.opt.drift);
    }
    const double phaseX = c.stage.uniform(0, 2 * kPi), phaseY = c.stage.uniform(0, 2 * kPi);
    const double k = 2 * kPi / c.m.warpWavelength, a = c.opt.warp;
    for (Detection& d : dets) {
        const double u = d.x - c.m.centre, v = d.y - c.m.centre;
        const double bend = 0.5 * a * k * (cosR(k * v + phaseX) - cosR(k * u + phaseY));
        d.x += c.stageX + a * sinR(k * v + phaseX) + c.noise.normal(c.opt.noise);
        d.y += c.stageY + a * sinR(k * u + phaseY) + c.noise.normal(c.opt.noise);
        d.len = std::max(0.5, d.len + c.noise.normal(c.m.lengthNoise));
        d.angle = wrapDegrees(d.angle + bend * kDegPerRad + c.noise.normal(c.m.angleNoise));
    }
}

// Rows in random order, and ids a random permutation of 1..n independent of it.
void shuffleAndNumber(Rng& rng, std::vector<Detection>& dets) {
    for (std::size_t i = dets.size(); i > 1; --i) std::swap(dets[i - 1], dets[rng.below(i)]);
    std::vector<int> ids(dets.size());
    for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<int>(i) + 1;
    for (std::size_t i = ids.size(); i > 1; --i) std::swap(ids[i - 1], ids[rng.below(i)]);
    for (std::size_t i = 0; i < dets.size(); ++i) dets[i].id = ids[i];
}

// ---- output -------------------------------------------------------------

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "vantu-sim: %s\n", message.c_str());
    std::exit(1);
}

struct OutFile {
    std::string path;
    std::FILE* f = nullptr;
    explicit OutFile(std::string p) : path(std::move(p)) {
        f = std::fopen(path.c_str(), "wb");  // "b": "\n" line ends everywhere
        if (!f) fail("cannot write '" + path + "': " + std::strerror(errno));
    }
    void close() {
        const bool bad = std::ferror(f) != 0;
        const bool closeFailed = std::fclose(f) != 0;
        f = nullptr;
        if (bad || closeFailed) fail("error writing '" + path + "'");
    }
    ~OutFile() {
        if (f) std::fclose(f);
    }
};

std::string frameName(int frame) {
    char name[32];
    std::snprintf(name, sizeof name, "frame_%04d.dat", frame);
    return name;
}

// Creates the folder; refuses one holding frame files beyond this run's last
// frame, which a reader of the folder would take for part of the time-lapse.
void prepareFolder(const TimelapseOptions& o) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::create_directories(o.dir, ec);
    if (ec || !fs::is_directory(o.dir)) fail("cannot create folder '" + o.dir + "': " + ec.message());
    for (const fs::directory_entry& e : fs::directory_iterator(o.dir, ec)) {
        const std::string name = e.path().filename().string();
        int frame = -1;
        char tail[8] = "";
        const bool frameFile = name.size() == 14 && std::sscanf(name.c_str(), "frame_%4d%7s", &frame, tail) == 2 &&
                               std::strcmp(tail, ".dat") == 0;
        const bool maskFile = o.masks && name.size() == 13 && std::sscanf(name.c_str(), "mask_%4d%7s", &frame, tail) == 2 &&
                              std::strcmp(tail, ".tif") == 0;
        if ((frameFile || maskFile) && frame >= o.frames)
            fail("folder '" + o.dir + "' already holds " + name + ", beyond the " + std::to_string(o.frames) +
                 " frames to write; remove it or choose another folder");
    }
    if (ec) fail("cannot list folder '" + o.dir + "': " + ec.message());
}

struct TruthRow { int id, pred, ndiv, kind; };

// The truth of one frame after the first: each detection's ancestor among the
// cells alive at the previous frame, found by walking up the lineage.
std::vector<TruthRow> linkToPrevious(const Lineage& lin, const std::vector<Detection>& dets) {
    std::vector<TruthRow> rows;
    for (const Detection& d : dets) {
        if (d.spurious) {
            rows.push_back({d.id, 0, 0, 1});
            continue;
        }
        int u = d.uid, ndiv = 0;
        while (!lin.alive[u]) {
            u = lin.parent[u];
            ++ndiv;
            if (u == 0) fail("internal error: a cell without an ancestor in the previous frame");
        }
        const int pred = lin.lastId[u];
        rows.push_back({d.id, pred, ndiv, pred ? 0 : 2});
    }
    std::sort(rows.begin(), rows.end(), [](const TruthRow& a, const TruthRow& b) { return a.id < b.id; });
    return rows;
}

// Remembers which cells are alive and which detection shows each, for the
// next frame's truth.
void rememberFrame(Colony& c, const std::vector<Detection>& dets) {
    Lineage& lin = c.lineage;
    std::fill(lin.alive.begin(), lin.alive.end(), 0);
    std::fill(lin.lastId.begin(), lin.lastId.end(), 0);
    for (const LiveCell& cell : c.cells) lin.alive[cell.uid] = 1;
    for (const Detection& d : dets)
        if (!d.spurious) lin.lastId[d.uid] = d.id;
}

// Nearest ancestor track with a detection (ancestors have all ended before the
// track starts, so this is final when the track is first seen).
int visibleParent(const Lineage& lin, int uid) {
    int p = lin.parent[uid];
    while (p != 0 && !lin.detected[p]) p = lin.parent[p];
    return p;
}

void writeFrame(Colony& c, int frame, std::vector<Detection>& dets, OutFile& cellsCsv, OutFile& truthCsv,
                OutFile& tracksCsv) {
    OutFile file(c.opt.dir + "/" + frameName(frame));
    for (Detection& d : dets) {
        char x[32], y[32], len[32], angle[32];
        std::snprintf(x, sizeof x, "%.3f", d.x);
        std::snprintf(y, sizeof y, "%.3f", d.y);
        std::snprintf(len, sizeof len, "%.3f", d.len);
        std::snprintf(angle, sizeof angle, "%.3f", d.angle);
        std::fprintf(file.f, "%s %s %s %s %d\n", x, y, len, angle, d.id);
        std::fprintf(cellsCsv.f, "%d,%s,%s,%s,%s,%d\n", frame, x, y, len, angle, d.id);
        if (d.spurious) d.uid = c.lineage.add(0);
        if (!c.lineage.detected[d.uid]) c.lineage.detected[d.uid] = 1;
        std::fprintf(tracksCsv.f, "%d,%d,%d,%d\n", frame, d.id, d.uid, visibleParent(c.lineage, d.uid));
    }
    file.close();
    if (frame > 0)
        for (const TruthRow& r : linkToPrevious(c.lineage, dets))
            std::fprintf(truthCsv.f, "%d,%d,%d,%d,%d\n", frame, r.id, r.pred, r.ndiv, r.kind);
}

// ---- masks ----------------------------------------------------------------

// Draws one detection into the mask as a rod: the pixels whose centres lie
// within half the width of the axis segment (a rectangle with round caps,
// pole to pole as long as the detection, or a disc when it is shorter than
// the width). A pixel inside two rods goes to the one whose axis is nearer,
// relative to its width (the first drawn on a tie).
void drawRod(const Detection& d, double width, vantu::LabelImage& mask, std::vector<double>& depth) {
    const double w = std::min(width, d.len), r = w / 2, half = std::max(0.0, d.len / 2 - r);
    const double t = d.angle / kDegPerRad, ax = cosR(t), ay = -sinR(t);
    const double reach = half + r + 1;
    const int x0 = std::max(0, static_cast<int>(std::floor(d.x - reach)));
    const int x1 = std::min(mask.width - 1, static_cast<int>(std::ceil(d.x + reach)));
    const int y0 = std::max(0, static_cast<int>(std::floor(d.y - reach)));
    const int y1 = std::min(mask.height - 1, static_cast<int>(std::ceil(d.y + reach)));
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) {
            const double px = x - d.x, py = y - d.y;
            const double along = std::max(-half, std::min(half, px * ax + py * ay));
            const double ex = px - along * ax, ey = py - along * ay;
            const double rel = std::sqrt(ex * ex + ey * ey) / r;
            const std::size_t k = static_cast<std::size_t>(y) * static_cast<std::size_t>(mask.width) + x;
            if (rel <= 1 && rel < depth[k]) {
                depth[k] = rel;
                mask.labels[k] = static_cast<std::uint32_t>(d.id);
            }
        }
}

// The frame's fluorescence DIR/gfp/gfp_NNNN.tif for its mask: 100 outside
// the cells, in a cell 1000 plus up to 3999 by its cell's identity (the
// same over its life; spurious detections 400) plus a ramp of up to 15
// across the image, so that no two pixels need be equal. Drawn from the
// mask without random numbers: the movie stays the same with or without it.
void writeFluorescence(const Colony& c, int frame, const std::vector<Detection>& dets, const vantu::LabelImage& mask) {
    std::vector<std::uint32_t> level(dets.size() + 1, 400);
    for (const Detection& d : dets)
        if (!d.spurious && d.id > 0 && static_cast<std::size_t>(d.id) < level.size())
            level[static_cast<std::size_t>(d.id)] = 1000 + static_cast<std::uint32_t>(d.uid) * 2654435761u % 4000;
    vantu::LabelImage image = mask;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x) {
            std::uint32_t& v = image.labels[static_cast<std::size_t>(y) * static_cast<std::size_t>(image.width) + x];
            v = (v > 0 && v < level.size() ? level[v] : 100) + static_cast<std::uint32_t>((x + y) % 16);
        }
    char name[32];
    std::snprintf(name, sizeof name, "gfp_%04d.tif", frame);
    std::error_code ec;
    std::filesystem::create_directories(c.opt.dir + "/gfp", ec);
    OutFile file(c.opt.dir + "/gfp/" + name);
    const std::string bytes = vantu::tiff16_bytes(image);
    std::fwrite(bytes.data(), 1, bytes.size(), file.f);
    file.close();
}

// The frame as a 16-bit label mask DIR/mask_NNNN.tif: square, twice the
// colony centre on a side; each detection drawn with its id as label, so
// truth.csv and truth_tracks.csv hold for the masks as for the point files.
void writeMask(const Colony& c, int frame, const std::vector<Detection>& dets) {
    vantu::LabelImage mask;
    mask.width = mask.height = static_cast<int>(std::ceil(2 * c.m.centre));
    mask.labels.assign(static_cast<std::size_t>(mask.width) * static_cast<std::size_t>(mask.height), 0);
    std::vector<double> depth(mask.labels.size(), 2.0);
    for (const Detection& d : dets) drawRod(d, c.m.width, mask, depth);
    char name[32];
    std::snprintf(name, sizeof name, "mask_%04d.tif", frame);
    OutFile file(c.opt.dir + "/" + name);
    const std::string bytes = vantu::tiff16_bytes(mask);
    std::fwrite(bytes.data(), 1, bytes.size(), file.f);
    file.close();
    if (c.opt.fluorescence) writeFluorescence(c, frame, dets, mask);
}

// ---- command line -------------------------------------------------------

const char* const kUsage =
    "usage: vantu-sim --timelapse DIR [options]\n"
    "Simulates a time-lapse of a growing colony of rod-shaped cells and its true lineage.\n"
    "  --frames N          frames to write, 2 to 9999 (default 50)\n"
    "  --cells N           cells in the first frame (it may hold a few more), 1 to 20000 (default 30);\n"
    "                      at --step 1 the colony doubles about every 13.5 frames\n"
    "  --seed S            random seed, 0 to 2^64-1 (default 1)\n"
    "  --magnification F   scales every length of the colony, 0.1 to 10 (default 1: cells 13 px\n"
    "                      wide, 20 to 53 px long)\n"
    "  --step F            time between frames in default intervals, 0.05 to 20 (default 1);\n"
    "                      cells move and grow about F times as far between frames\n"
    "  --missing R         share of the real cells not detected in each frame, 0 to 0.5 (default 0)\n"
    "  --spurious R        spurious detections per frame as a share of the detected cells, 0 to 0.5\n"
    "                      (default 0): debris next to a cell, or a cell over-segmented into two\n"
    "                      pieces (the larger piece is the cell, the smaller one is spurious)\n"
    "  --split-share S     share of the spurious detections that are over-segmentations, 0 to 1\n"
    "                      (default 0.25)\n"
    "  --noise SD          position noise s.d. in output pixels, 0 to 50 (default 0.5)\n"
    "  --drift SD          stage drift per frame, s.d. per coordinate in output pixels, 0 to 200\n"
    "                      (default 1.5)\n"
    "  --warp A            amplitude of each frame's smooth warp in output pixels, 0 to 50 (default 1.5)\n"
    "  --max-cells N       most detections in one frame, 1 to 20000 (default 20000); the colony stops\n"
    "                      dividing when its cells and spurious detections would exceed it\n"
    "  --masks tif         also draw each frame as a 16-bit label mask DIR/mask_NNNN.tif (rods\n"
    "                      1024 px square at magnification 1, larger for colonies expected past 1000\n"
    "                      cells; label = the detection's id)\n"
    "  --fluorescence tif  with --masks, also a 16-bit fluorescence channel DIR/gfp/gfp_NNNN.tif:\n"
    "                      100 outside the cells, 1000 to 4999 by the cell's identity inside (for\n"
    "                      vantu-track --intensity gfp=DIR/gfp)\n"
    "  --slide R           share of the cells that slide along their own axis by 1 to 2 rod widths in\n"
    "                      a frame, past their neighbours, 0 to 0.5 (default 0)\n"
    "  --colonies N        colonies growing far apart in one field, 1 to 3 (default 1)\n"
    "Writes DIR/frame_NNNN.dat (\"x y length angle id\" per line, ids a fresh permutation of 1..n in\n"
    "each frame), DIR/cells.csv (frame,x,y,length,angle,id), DIR/truth.csv (frame,id,pred,ndiv,kind\n"
    "for each detection of frames 1..: pred = id in the previous frame of the detection it comes from,\n"
    "0 if none is visible; ndiv = divisions in between; kind 0 real, 1 spurious, 2 real without a\n"
    "visible ancestor) and DIR/truth_tracks.csv (frame,id,track,parent_track: the true lineage).\n";

double numberArg(const std::string& name, const char* value, double lo, double hi) {
    char* end = nullptr;
    const double v = std::strtod(value, &end);
    if (end == value || *end != '\0' || !(v >= lo && v <= hi)) {
        char range[64];
        std::snprintf(range, sizeof range, "%g to %g", lo, hi);
        fail(name + " needs a number from " + range + ", got '" + value + "'");
    }
    return v;
}

int integerArg(const std::string& name, const char* value, long lo, long hi) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(value, &end, 10);
    if (end == value || *end != '\0' || errno == ERANGE || v < lo || v > hi)
        fail(name + " needs an integer from " + std::to_string(lo) + " to " + std::to_string(hi) + ", got '" + value +
             "'");
    return static_cast<int>(v);
}

TimelapseOptions parseTimelapseOptions(int argc, char** argv) {
    TimelapseOptions o;
    bool haveDir = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (arg.size() < 2 || arg[0] != '-') fail("unexpected argument '" + arg + "' (try --timelapse DIR --help)");
        static const char* const known[] = {"--timelapse", "--frames", "--cells", "--seed", "--magnification",
                                            "--step", "--missing", "--spurious", "--split-share", "--noise",
                                            "--drift", "--warp", "--max-cells", "--masks", "--fluorescence",
                                            "--slide", "--colonies"};
        if (std::find_if(std::begin(known), std::end(known), [&](const char* k) { return arg == k; }) ==
            std::end(known))
            fail("unknown option '" + arg + "' (try --timelapse DIR --help)");
        if (i + 1 >= argc) fail("option " + arg + " needs a value");
        const char* value = argv[++i];
        if (arg == "--timelapse") {
            if (*value == '\0') fail("--timelapse needs a folder name");
            // `--timelapse --help` asks for help: no folder named after an option.
            if (value[0] == '-' && value[1] == '-')
                fail(std::string("--timelapse needs a folder name, got the option '") + value + "'");
            o.dir = value;
            haveDir = true;
        } else if (arg == "--seed") {
            char* end = nullptr;
            errno = 0;
            const unsigned long long s = std::strtoull(value, &end, 10);
            if (*value < '0' || *value > '9' || *end != '\0' || errno == ERANGE)
                fail("--seed needs an integer from 0 to 2^64-1, got '" + std::string(value) + "'");
            o.seed = s;
        } else if (arg == "--frames") {
            o.frames = integerArg(arg, value, 2, 9999);
        } else if (arg == "--cells") {
            o.cells = integerArg(arg, value, 1, kMaxDetections);
        } else if (arg == "--max-cells") {
            o.maxCells = integerArg(arg, value, 1, kMaxDetections);
        } else if (arg == "--magnification") {
            o.magnification = numberArg(arg, value, 0.1, 10);
        } else if (arg == "--step") {
            o.step = numberArg(arg, value, 0.05, 20);
        } else if (arg == "--missing") {
            o.missing = numberArg(arg, value, 0, 0.5);
        } else if (arg == "--spurious") {
            o.spurious = numberArg(arg, value, 0, 0.5);
        } else if (arg == "--split-share") {
            o.splitShare = numberArg(arg, value, 0, 1);
        } else if (arg == "--noise") {
            o.noise = numberArg(arg, value, 0, 50);
        } else if (arg == "--masks") {
            if (std::strcmp(value, "tif") != 0) fail("--masks needs the format 'tif', got '" + std::string(value) + "'");
            o.masks = true;
        } else if (arg == "--fluorescence") {
            if (std::strcmp(value, "tif") != 0)
                fail("--fluorescence needs the format 'tif', got '" + std::string(value) + "'");
            o.fluorescence = true;
        } else if (arg == "--slide") {
            o.slide = numberArg(arg, value, 0, 0.5);
        } else if (arg == "--colonies") {
            o.colonies = integerArg(arg, value, 1, 3);
        } else if (arg == "--drift") {
            o.drift = numberArg(arg, value, 0, 200);
        } else {
            o.warp = numberArg(arg, value, 0, 50);
        }
    }
    if (!haveDir) fail("--timelapse needs a folder name");
    if (o.cells > realCellCap(o))
        fail("--cells " + std::to_string(o.cells) + " leaves no room under --max-cells " + std::to_string(o.maxCells) +
             " for the spurious detections (at most " + std::to_string(realCellCap(o)) + " cells)");
    if (o.fluorescence && !o.masks) fail("--fluorescence draws a channel for the masks: give --masks tif too");
    return o;
}

}  // namespace

bool wants_timelapse(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--timelapse") == 0) return true;
    return false;
}

int run_timelapse(int argc, char** argv) {
    const TimelapseOptions o = parseTimelapseOptions(argc, argv);
    prepareFolder(o);
    Colony c(o);
    c.m = scaledModel(o.magnification);
    c.realCap = realCellCap(o);
    c.m.centre = colonyCentre(o, c.m);

    OutFile cellsCsv(o.dir + "/cells.csv"), truthCsv(o.dir + "/truth.csv"), tracksCsv(o.dir + "/truth_tracks.csv");
    std::fputs("frame,x,y,length,angle,id\n", cellsCsv.f);
    std::fputs("frame,id,pred,ndiv,kind\n", truthCsv.f);
    std::fputs("frame,id,track,parent_track\n", tracksCsv.f);

    growFirstColony(c);
    for (int frame = 0; frame < o.frames; ++frame) {
        if (frame > 0) advance(c, o.step);
        if (frame > 0 && o.slide > 0) slideCells(c);
        std::vector<Detection> dets = detectCells(c);
        observe(c, frame, dets);
        shuffleAndNumber(c.order, dets);
        writeFrame(c, frame, dets, cellsCsv, truthCsv, tracksCsv);
        if (o.masks) writeMask(c, frame, dets);
        rememberFrame(c, dets);
    }
    cellsCsv.close();
    truthCsv.close();
    tracksCsv.close();
    return 0;
}

}  // namespace vantu_sim
