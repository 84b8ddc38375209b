// The latencies of a bench run, in bounded memory: every latency is kept exactly up to a limit
// (the percentiles are then exact), and counted in a histogram of buckets 1% apart as well, from
// which the percentiles of a longer run are read (within 1%). A run at a hundred thousand
// lookups per second for a day thus needs kilobytes, not gigabytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qords {

class Latencies {
public:
    static constexpr size_t kDefaultExactLimit = size_t{1} << 20;

    explicit Latencies(size_t exact_limit = kDefaultExactLimit);

    // One latency in milliseconds (negative counts as 0).
    void add(double milliseconds);

    size_t count() const { return count_; }
    double max() const { return max_; }

    // The latency at `fraction` (0 to 1) of the sorted run, the nearest rank; 0 for an empty run.
    // Exact while count() is within the limit, else the middle of its histogram bucket (never
    // above max()).
    double percentile(double fraction) const;

    // Bytes held for the latencies: what the exact record and the histogram occupy.
    size_t bytes_held() const;

private:
    size_t bucket_of(double milliseconds) const;
    double bucket_middle(size_t bucket) const;

    size_t exact_limit_;
    size_t count_ = 0;
    double max_ = 0;
    mutable std::vector<double> exact_;  // released once the run outgrows the limit; sorted on demand
    mutable bool sorted_ = true;
    std::vector<uint64_t> buckets_;
};

}  // namespace qords
