// Courtesy pauses: the short sleeps that keep a client usable during long
// work. Every such pause goes through CourtesyPause, which scales it by the
// host's registry value HKLM\Software\VXCorporate\PauseScale (percent,
// default 100) or, when set, the environment variable VX_PAUSE_SCALE, so
// that tests and benchmarks run with 0.
#pragma once

#include <cstdint>

namespace platform {

void CourtesyPause(uint32_t milliseconds);

// The scale in percent now in force (re-read at most once per second).
uint32_t PauseScalePercent();

}  // namespace platform
