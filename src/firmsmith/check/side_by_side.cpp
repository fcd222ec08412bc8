#include "firmsmith/check/side_by_side.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace check {

namespace {

unsigned Resolved(unsigned workers) { return workers == 0 ? std::max(1u, std::thread::hardware_concurrency()) : workers; }

}  // namespace

unsigned ThreadsInsideEach(std::size_t count, unsigned workers) {
  workers = Resolved(workers);
  const std::size_t atOnce = std::clamp<std::size_t>(count, 1, workers);
  return static_cast<unsigned>(std::clamp<std::size_t>(2 * std::size_t{workers} / atOnce, 1, workers));
}

void ForEachSideBySide(std::size_t count, unsigned workers, const std::function<void(std::size_t)>& job) {
  if (count == 0) return;
  workers = Resolved(workers);
  std::vector<std::exception_ptr> escaped(count);
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < count;) {
      try {
        job(i);
      } catch (...) {
        escaped[i] = std::current_exception();
      }
    }
  };
  // The calling thread takes a share too: one worker means no thread at all.
  std::vector<std::thread> threads;
  const std::size_t extra = std::min<std::size_t>(workers, count) - 1;
  for (std::size_t t = 0; t < extra; ++t) {
    try {
      threads.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // fewer threads; the caller's share grows
    }
  }
  work();
  for (std::thread& t : threads) t.join();
  for (const std::exception_ptr& e : escaped)
    if (e) std::rethrow_exception(e);
}

}  // namespace check
