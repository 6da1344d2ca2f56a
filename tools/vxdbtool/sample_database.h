// Sample definition databases of made-up spyware, for the lab, the demo,
// tests and benchmarks. Every trace type occurs, with folder macros,
// "%PROFILE%" paths, quoted registry value names and data, cookies and
// executables (which the agent also seeks as processes).
#pragma once

#include <cstdint>

#include "VXAgent/engine/spy_database.h"

namespace vxdbtool {

struct SampleOptions {
  uint32_t spies = 10;
  uint32_t seed = 1;  // same seed and count, same database
};

engine::SpyMap GenerateSampleDatabase(const SampleOptions& options);

}  // namespace vxdbtool
