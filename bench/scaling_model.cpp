// The engine's schedule of one mini-batch, per thread, in multiply-adds.
#include "bench/scaling_model.h"

#include <algorithm>
#include <cstdio>

#include "engine/kernels.h"
#include "engine/thread_pool.h"

namespace {

size_t Padded(size_t count) { return (count + kStrideUnit - 1) / kStrideUnit * kStrideUnit; }
size_t Length(Share share) { return share.end - share.begin; }

// Adds up phases that end at a barrier: the busiest thread sets each phase's length.
class Phases {
 public:
  explicit Phases(uint32_t threads) : work_(threads, 0.0) {}
  void Add(uint32_t thread, double multiplyAdds) {
    work_[thread] += multiplyAdds;
    total_ += multiplyAdds;
  }
  void Barrier() {
    longest_ += *std::max_element(work_.begin(), work_.end());
    std::fill(work_.begin(), work_.end(), 0.0);
    ++barriers_;
  }
  ScalingEstimate Result(uint32_t threads) const { return {threads, total_, longest_, barriers_}; }

 private:
  std::vector<double> work_;
  double total_ = 0.0;
  double longest_ = 0.0;
  uint32_t barriers_ = 0;
};

}  // namespace

ScalingEstimate EstimateMiniBatch(const std::vector<uint32_t>& sizes, size_t samples, uint32_t threads,
                                  size_t rowUnit, bool twoHalves) {
  const size_t layers = sizes.size() - 1;  // weight layer k: sizes[k] inputs, sizes[k + 1] rows
  const size_t unit = twoHalves ? rowUnit : kStrideUnit;
  size_t widest = 0;
  for (size_t k = 0; k < layers; ++k) widest = std::max<size_t>(widest, (sizes[k + 1] + unit - 1) / unit);
  if (!twoHalves) threads = static_cast<uint32_t>(std::min<size_t>(threads, widest));
  const auto rowsOf = [&](size_t k, uint32_t t) -> Share {
    if (!twoHalves || k == 0 || threads == 1) return ShareOf(sizes[k + 1], unit, t, threads);
    const size_t split = std::min<size_t>(sizes[k + 1], (sizes[k + 1] + rowUnit) / (2 * rowUnit) * rowUnit);
    if (t >= 2) return {0, 0};
    return t == 0 ? Share{0, split} : Share{split, sizes[k + 1]};
  };
  const auto s = static_cast<double>(samples);
  Phases phases(threads);
  // The errors carried back, top layer first.
  for (size_t k = layers - 1; k >= 1; --k) {
    for (uint32_t t = 0; t < threads; ++t) {
      if (twoHalves) {
        phases.Add(t, s * static_cast<double>(Length(rowsOf(k, t)) * Padded(sizes[k])));
      } else {
        const Share columns = rowsOf(k - 1, t);
        const size_t end = columns.end == sizes[k] ? Padded(sizes[k]) : columns.end;
        phases.Add(t, columns.begin == columns.end
                          ? 0.0
                          : s * static_cast<double>(sizes[k + 1] * (end - columns.begin)));
      }
    }
    if (twoHalves || k >= 2) phases.Barrier();
  }
  // The update of every layer fused with the next mini-batch's forward pass, a barrier each.
  for (size_t k = 0; k < layers; ++k) {
    for (uint32_t t = 0; t < threads; ++t)
      phases.Add(t, 2 * s * static_cast<double>(Length(rowsOf(k, t)) * Padded(sizes[k])));
    phases.Barrier();
  }
  return phases.Result(threads);
}

void PrintScalingModel(const std::vector<uint32_t>& sizes, size_t samples, size_t rowUnit,
                       const char* kernelsName, double secondsPerMultiplyAdd, double barrierSeconds) {
  std::printf(
      "\nscaling model, %s rows (tiles of %zu rows), mini-batch of %zu: the busiest thread's multiply-adds "
      "(summed over the phases between barriers) and the speed-up over 1 thread they allow; \"with "
      "barriers\" "
      "adds %.2f us per barrier at %.3g ns per multiply-add\n",
      kernelsName, rowUnit, samples, barrierSeconds * 1e6, secondsPerMultiplyAdd * 1e9);
  std::printf("%8s | %8s %10s %9s %8s %9s | %10s %9s %8s %9s\n", "threads", "started", "busiest", "barriers",
              "work", "+barriers", "before:", "barriers", "work", "+barriers");
  const double one =
      EstimateMiniBatch(sizes, samples, 1, rowUnit, false).largestShare * secondsPerMultiplyAdd;
  for (uint32_t threads : {1u, 2u, 4u, 8u, 16u, 32u, 64u}) {
    const ScalingEstimate now = EstimateMiniBatch(sizes, samples, threads, rowUnit, false);
    const ScalingEstimate before = EstimateMiniBatch(sizes, samples, threads, rowUnit, true);
    const auto speedUp = [&](const ScalingEstimate& e, bool withBarriers) {
      const double barriers = withBarriers && e.threadsStarted > 1 ? e.barriers * barrierSeconds : 0.0;
      return one / (e.largestShare * secondsPerMultiplyAdd + barriers);
    };
    std::printf("%8u | %8u %10.0f %9u %7.1fx %8.1fx | %10.0f %9u %7.1fx %8.1fx\n", threads,
                now.threadsStarted, now.largestShare, now.barriers, speedUp(now, false), speedUp(now, true),
                before.largestShare, before.barriers, speedUp(before, false), speedUp(before, true));
  }
}
