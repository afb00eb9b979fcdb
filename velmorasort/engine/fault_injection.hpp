// Fault injection for the test build only (VELMORASORT_FAULT_INJECTION).
// Every allocation site of the engine and the conversions calls site(); once
// armed, the countdown-th call throws the chosen native exception. In the
// shipped build these are empty inline functions and cost nothing.
#pragma once

namespace velmora::fault {

enum class Kind { bad_alloc = 0, length_error = 1, unknown = 2 };

#ifdef VELMORASORT_FAULT_INJECTION
// Arms the countdown: the countdown-th site from now fails (0 disarms).
void arm(long countdown, Kind kind) noexcept;
// Number of sites passed since the last arm().
long sites_passed() noexcept;
// Throws the armed exception when the countdown reaches this site.
void site();
// For sites that report through a Python API (no native exception):
// true when this site must fail.
bool fires() noexcept;
#else
inline void site() noexcept {}
inline bool fires() noexcept { return false; }
#endif

}  // namespace velmora::fault
