// Where a training epoch's time goes, per thread: clocks around the engine's phases that a
// build option (MNIST_MLP_PHASE_TIMERS) turns on. Off, the scopes are empty and vanish.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>

#if defined(MNIST_MLP_PHASE_TIMERS)
inline constexpr bool kPhaseTimers = true;
#else
inline constexpr bool kPhaseTimers = false;
#endif

// The update and forward passes inside the fused phase count both in their own phases and in
// kFused, which also holds the loop between them: kFused is not part of the exclusive sum.
enum class Phase : size_t {
  kGather,
  kForward,  // the product kernel only
  kSigmoid,
  kOutputDeltas,
  kBackError,
  kDeltasBelow,
  kUpdate,  // weights and biases
  kBarrier,
  kFused,
  kCount
};
inline constexpr size_t kPhaseCount = static_cast<size_t>(Phase::kCount);
inline constexpr const char* kPhaseNames[kPhaseCount] = {
    "gather",       "forward", "sigmoid", "output deltas",       "back error",
    "deltas below", "update",  "barrier", "fused update+forward"};

// One thread's seconds per phase, on a cache line of its own so that threads never share one.
struct alignas(64) PhaseTimes {
  std::array<double, kPhaseCount> seconds{};
};

// Adds the time from its construction to its destruction to one phase of `times`.
class PhaseScope {
 public:
  PhaseScope(PhaseTimes& times, Phase phase) {
    if constexpr (kPhaseTimers) {
      slot_ = &times.seconds[static_cast<size_t>(phase)];
      start_ = std::chrono::steady_clock::now();
    }
  }
  ~PhaseScope() {
    if constexpr (kPhaseTimers) {
      *slot_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }
  }
  PhaseScope(const PhaseScope&) = delete;
  PhaseScope& operator=(const PhaseScope&) = delete;

 private:
  double* slot_ = nullptr;
  std::chrono::steady_clock::time_point start_{};
};
