#include "apply/progress.h"

namespace progress {

int Percent(uint32_t running, float grandTotal) {
  if (!(grandTotal > 0.0f)) return 100;
  const double percent = static_cast<double>(running) / static_cast<double>(grandTotal) * 100.0;
  return percent >= 100.0 ? 100 : static_cast<int>(percent);
}

}  // namespace progress
