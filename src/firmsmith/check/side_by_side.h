// Runs the checks of a package's images side by side: job(0) .. job(count-1)
// on up to `workers` threads (0: one per core), each index exactly once, and
// returns when all are done. A job writes only what belongs to its index, so
// the results are the same as one after another. A job is expected to turn
// its failures into its image's problem; should an exception still escape
// one, the first (by index) is thrown again once every job has ended, and
// the jobs after it still ran.
#pragma once

#include <cstddef>
#include <functional>

namespace check {

void ForEachSideBySide(std::size_t count, unsigned workers, const std::function<void(std::size_t)>& job);

// The threads each of `count` jobs run by ForEachSideBySide(count, workers)
// may use inside: the share of the jobs running at once, doubled so that a
// large job left alone at the end still gets the cores the others freed,
// and never more than `workers` (resolved as there). Jobs side by side times
// threads inside stay within about two per worker.
unsigned ThreadsInsideEach(std::size_t count, unsigned workers);

}  // namespace check
