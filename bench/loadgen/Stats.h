#pragma once
// Summaries of repeated measurements and latency samples.

#include <cstddef>
#include <vector>

namespace loadgen {

// The median of the values (the mean of the middle two for an even count);
// 0 for none.
double Median(std::vector<double> values);
// The value below which the share q (0 to 1) of the samples lies, by the
// nearest-rank method; 0 for none.
double Percentile(std::vector<double> samples, double q);

}  // namespace loadgen
