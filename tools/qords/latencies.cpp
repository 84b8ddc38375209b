#include "latencies.h"

#include <algorithm>
#include <cmath>

namespace qords {
namespace {

// Buckets grow by 1% from 0.1 microseconds; the last one takes everything from about 10^7 s on,
// beyond the longest time limit.
constexpr double kSmallest = 1e-4;
constexpr double kRatio = 1.01;
constexpr size_t kBuckets = 3300;

}  // namespace

Latencies::Latencies(size_t exact_limit) : exact_limit_(exact_limit), buckets_(kBuckets, 0) {}

size_t Latencies::bucket_of(double milliseconds) const {
    if (!(milliseconds > kSmallest)) return 0;
    const double index = std::floor(std::log(milliseconds / kSmallest) / std::log(kRatio)) + 1;
    return index >= static_cast<double>(kBuckets - 1) ? kBuckets - 1 : static_cast<size_t>(index);
}

// Bucket b > 0 holds (kSmallest * kRatio^(b-1), kSmallest * kRatio^b]; bucket 0 everything up to
// kSmallest.
double Latencies::bucket_middle(size_t bucket) const {
    if (bucket == 0) return kSmallest / 2;
    return kSmallest * std::pow(kRatio, static_cast<double>(bucket) - 0.5);
}

void Latencies::add(double milliseconds) {
    if (!(milliseconds > 0)) milliseconds = 0;
    ++count_;
    max_ = std::max(max_, milliseconds);
    ++buckets_[bucket_of(milliseconds)];
    if (count_ <= exact_limit_) {
        exact_.push_back(milliseconds);
        sorted_ = false;
    } else if (!exact_.empty() || exact_.capacity() > 0) {
        std::vector<double>().swap(exact_);
    }
}

double Latencies::percentile(double fraction) const {
    if (count_ == 0) return 0;
    fraction = std::clamp(fraction, 0.0, 1.0);
    const auto rank = std::min(static_cast<size_t>(fraction * static_cast<double>(count_ - 1) + 0.5), count_ - 1);
    if (count_ <= exact_limit_) {
        if (!sorted_) {
            std::sort(exact_.begin(), exact_.end());
            sorted_ = true;
        }
        return exact_[rank];
    }
    uint64_t seen = 0;
    for (size_t b = 0; b < buckets_.size(); ++b) {
        seen += buckets_[b];
        if (seen > rank)
            return b + 1 == buckets_.size() ? max_ : std::min(bucket_middle(b), max_);  // the last has no top
    }
    return max_;
}

size_t Latencies::bytes_held() const {
    return exact_.capacity() * sizeof(double) + buckets_.capacity() * sizeof(uint64_t);
}

}  // namespace qords
