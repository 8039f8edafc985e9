// The filter strategies of the optimising save and the search that picks
// one of them and the compressor for it.
#include "codec/PngFilterSearch.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <future>
#include <memory>
#include <mutex>
#include <utility>

#include "codec/SFunc.h"
#include "codec/TavZLIB.h"
#include "platform/Exceptions.h"

#if defined(TOBELIN_DEFLATE_LIBDEFLATE)
#include <libdeflate.h>
#endif

namespace {

inline uint8_t Paeth(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    if (pa <= pb && pa <= pc) return static_cast<uint8_t>(a);
    return static_cast<uint8_t>(pb <= pc ? b : c);
}

// out[0] := type, out[1 .. n] the row filtered with it. prior is the row
// above or nullptr for the first row of a pass (all zero).
void FilterRow(int type, const uint8_t* row, const uint8_t* prior, size_t n, size_t bpp, uint8_t* out) {
    out[0] = static_cast<uint8_t>(type);
    uint8_t* dst = out + 1;
    const size_t head = bpp < n ? bpp : n;
    if (prior == nullptr) {
        // Against a zero row Up is None, Average halves the left neighbour
        // and Paeth is Sub.
        switch (type) {
            case 1:
            case 4:
                std::memcpy(dst, row, head);
                for (size_t i = head; i < n; ++i) dst[i] = static_cast<uint8_t>(row[i] - row[i - bpp]);
                return;
            case 3:
                std::memcpy(dst, row, head);
                for (size_t i = head; i < n; ++i) dst[i] = static_cast<uint8_t>(row[i] - (row[i - bpp] >> 1));
                return;
            default:
                std::memcpy(dst, row, n);
                return;
        }
    }
    switch (type) {
        case 1:
            std::memcpy(dst, row, head);
            for (size_t i = head; i < n; ++i) dst[i] = static_cast<uint8_t>(row[i] - row[i - bpp]);
            break;
        case 2:
            for (size_t i = 0; i < n; ++i) dst[i] = static_cast<uint8_t>(row[i] - prior[i]);
            break;
        case 3:
            for (size_t i = 0; i < head; ++i) dst[i] = static_cast<uint8_t>(row[i] - (prior[i] >> 1));
            for (size_t i = head; i < n; ++i)
                dst[i] = static_cast<uint8_t>(row[i] - ((row[i - bpp] + prior[i]) >> 1));
            break;
        case 4:
            for (size_t i = 0; i < head; ++i) dst[i] = static_cast<uint8_t>(row[i] - prior[i]);
            for (size_t i = head; i < n; ++i)
                dst[i] = static_cast<uint8_t>(row[i] - Paeth(row[i - bpp], prior[i], prior[i - bpp]));
            break;
        default:
            std::memcpy(dst, row, n);
            break;
    }
}

// Bytes of the filtered image data: every row of every non-empty pass
// with its filter byte.
size_t FilteredSize(std::span<const TPngRawPass> passes) {
    size_t total = 0;
    for (const TPngRawPass& pass : passes) {
        if (pass.RowBytes == 0 || pass.Height == 0) continue;
        size_t rowBytes = 0, passBytes = 0;
        if (!CheckedAdd(pass.RowBytes, 1, rowBytes) || !CheckedMul(rowBytes, pass.Height, passBytes) ||
            !CheckedAdd(total, passBytes, total))
            throw EOutOfMemory();
    }
    return total;
}

// The adaptive mode's score of a filtered row of n bytes (filter byte
// included); higher is better, -1 decisive. Bit depths below 8 are packed
// whole bytes here and scored with the weights of whole bytes.
int64_t AdaptiveScore(const uint8_t* row, size_t n) { return int64_t(FilteredRowScore(row, n, false, nullptr)); }

uint64_t AbsoluteSum(const uint8_t* filtered, size_t n) {
    uint64_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum += filtered[i] < 128 ? filtered[i] : 256 - filtered[i];
    return sum;
}

// Shannon information of the bytes, in bits (scaled so that rows compare).
double ByteEntropy(const uint8_t* filtered, size_t n) {
    std::array<uint32_t, 256> histogram{};
    for (size_t i = 0; i < n; ++i) ++histogram[filtered[i]];
    double bits = 0;
    const double total = double(n);
    for (uint32_t k : histogram)
        if (k != 0) bits -= double(k) * std::log2(double(k) / total);
    return bits;
}

// The fast compressor that scores the per-row trials: it packs the last
// window of chosen rows followed by a candidate row, so a candidate is
// judged by what it costs after its context. The window's own cost is
// the same for every candidate of a row.
class TTrialEstimator {
public:
    TTrialEstimator() {
#if defined(TOBELIN_DEFLATE_LIBDEFLATE)
        Compressor_ = libdeflate_alloc_compressor(kLevel);
        if (Compressor_ == nullptr) throw EOutOfMemory();
#endif
    }
    ~TTrialEstimator() {
#if defined(TOBELIN_DEFLATE_LIBDEFLATE)
        libdeflate_free_compressor(Compressor_);
#endif
    }
    TTrialEstimator(const TTrialEstimator&) = delete;
    TTrialEstimator& operator=(const TTrialEstimator&) = delete;

    size_t Cost(const uint8_t* data, size_t n) {
#if defined(TOBELIN_DEFLATE_LIBDEFLATE)
        const size_t bound = libdeflate_deflate_compress_bound(Compressor_, n);
        if (Out_.size() < bound) Out_.resize(bound);
        const size_t size = libdeflate_deflate_compress(Compressor_, data, n, Out_.data(), Out_.size());
        return size == 0 ? n + 5 : size;
#else
        uLongf size = compressBound(uLong(n));
        if (Out_.size() < size) Out_.resize(size);
        if (compress2(Out_.data(), &size, data, uLong(n), 1) != Z_OK) return n + 5;
        return size;
#endif
    }

    // Context before each candidate: enough rows to reach back as far as
    // most matches of image data go, bounded so that wide rows stay cheap.
    static constexpr size_t kWindow = 8192;

private:
#if defined(TOBELIN_DEFLATE_LIBDEFLATE)
    static constexpr int kLevel = 2;
    libdeflate_compressor* Compressor_ = nullptr;
#endif
    std::vector<uint8_t> Out_;
};

}  // namespace

const char* PngFilterStrategyName(TPngFilterStrategy strategy) {
    static constexpr const char* kNames[kPngFilterStrategyCount] = {
        "none", "sub", "up", "average", "paeth", "adaptive", "minsum", "entropy", "trial"};
    const int index = static_cast<int>(strategy);
    return index >= 0 && index < kPngFilterStrategyCount ? kNames[index] : "?";
}

std::vector<uint8_t> FilterImageData(std::span<const TPngRawPass> passes, uint32_t filterBytesPerPixel,
                                     TPngFilterStrategy strategy) {
    const size_t bpp = filterBytesPerPixel == 0 ? 1 : filterBytesPerPixel;
    std::vector<uint8_t> out(FilteredSize(passes));
    size_t widest = 0;
    for (const TPngRawPass& pass : passes)
        if (pass.Height != 0 && pass.RowBytes > widest) widest = pass.RowBytes;
    // Candidate rows of the per-row choices, filter byte first.
    std::array<std::vector<uint8_t>, 5> trials;
    for (auto& trial : trials) trial.resize(widest + 1);
    std::unique_ptr<TTrialEstimator> estimator;
    std::vector<uint8_t> context;
    if (strategy == TPngFilterStrategy::Trial) {
        estimator = std::make_unique<TTrialEstimator>();
        context.resize(TTrialEstimator::kWindow + widest + 1);
    }

    size_t at = 0;
    for (const TPngRawPass& pass : passes) {
        if (pass.RowBytes == 0 || pass.Height == 0) continue;
        const size_t n = pass.RowBytes;
        for (uint32_t y = 0; y < pass.Height; ++y) {
            const uint8_t* row = pass.Rows + size_t(y) * n;
            const uint8_t* prior = y ? row - n : pass.Prior;
            uint8_t* dst = out.data() + at;
            const int fixed = static_cast<int>(strategy);
            if (fixed <= 4) {
                FilterRow(fixed, row, prior, n, bpp, dst);
                at += n + 1;
                continue;
            }
            for (int type = 0; type < 5; ++type) FilterRow(type, row, prior, n, bpp, trials[type].data());
            int best = 0;
            switch (strategy) {
                case TPngFilterStrategy::Adaptive: {
                    // Only a decisive score or a strictly higher one replaces
                    // the choice, so ties keep the earlier filter; None's
                    // score counts double for one byte per pixel.
                    int64_t top = AdaptiveScore(trials[0].data(), n + 1);
                    if (top == -1) break;
                    if (bpp == 1) top *= 2;
                    for (int type = 1; type < 5; ++type) {
                        const int64_t s = AdaptiveScore(trials[type].data(), n + 1);
                        if (s == -1) {
                            best = type;
                            break;
                        }
                        if (s > top) {
                            top = s;
                            best = type;
                        }
                    }
                    break;
                }
                case TPngFilterStrategy::MinSum: {
                    uint64_t least = UINT64_MAX;
                    for (int type = 0; type < 5; ++type) {
                        const uint64_t s = AbsoluteSum(trials[type].data() + 1, n);
                        if (s < least) least = s, best = type;
                    }
                    break;
                }
                case TPngFilterStrategy::Entropy: {
                    double least = HUGE_VAL;
                    for (int type = 0; type < 5; ++type) {
                        const double s = ByteEntropy(trials[type].data() + 1, n);
                        if (s < least) least = s, best = type;
                    }
                    break;
                }
                default: {
                    const size_t keep = at < TTrialEstimator::kWindow ? at : TTrialEstimator::kWindow;
                    std::memcpy(context.data(), out.data() + at - keep, keep);
                    size_t least = SIZE_MAX;
                    for (int type = 0; type < 5; ++type) {
                        std::memcpy(context.data() + keep, trials[type].data(), n + 1);
                        const size_t s = estimator->Cost(context.data(), keep + n + 1);
                        if (s < least) least = s, best = type;
                    }
                    break;
                }
            }
            std::memcpy(dst, trials[best].data(), n + 1);
            at += n + 1;
        }
    }
    return out;
}

namespace {

// Runs job(0) .. job(count - 1) on this thread and one more, each job
// taken by whichever thread is free. Jobs write only their own results, so
// what comes out does not depend on the order. The first failure passes
// out once both threads have stopped.
template <class Job>
void RunOnTwoThreads(size_t count, const Job& job) {
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i = next++; i < count; i = next++) job(i);
    };
    std::future<void> other = std::async(std::launch::async, work);
    std::exception_ptr failure;
    try {
        work();
    } catch (...) {
        failure = std::current_exception();
        next = count;
    }
    other.get();
    if (failure) std::rethrow_exception(failure);
}

struct TCandidate {
    std::vector<uint8_t> Stream;    // compressed by the measuring compressor
    size_t Size = 0;                // of Stream, also once Stream is let go
    std::vector<uint8_t> Filtered;  // kept by the two smallest, on small data
};

// Image data up to this size keeps the filtered rows of the two smallest
// candidates for the final packings. Above it they are filtered again:
// that costs little beside the compressors there, while on small data,
// where per-row trials make filtering itself a string of compressions, it
// added a tenth to the search's time on the benchmark corpus. Two copies
// of 16 MiB at most.
constexpr size_t kKeepFilteredLimit = size_t(16) << 20;

// Filters with each strategy and measures each result with compressor.
// The candidates come back in the order of strategies. Each lets go of its
// filtered rows once measured (see kKeepFilteredLimit for the exception),
// so that two copies of the image data are held at a time, one a thread;
// only the smallest keeps its stream, the one that can still be the result.
std::vector<TCandidate> Measure(std::span<const TPngRawPass> passes, uint32_t bpp,
                                std::span<const TPngFilterStrategy> strategies, TPngCompressor compressor) {
    std::vector<TCandidate> candidates(strategies.size());
    const bool keep = FilteredSize(passes) <= kKeepFilteredLimit;
    std::mutex lock;
    size_t best = SIZE_MAX;
    std::vector<size_t> kept;  // at most two, in (size, index) order
    RunOnTwoThreads(strategies.size(), [&](size_t i) {
        std::vector<uint8_t> filtered = FilterImageData(passes, bpp, strategies[i]);
        std::vector<uint8_t> stream = CompressImageData(filtered, compressor);
        const std::lock_guard<std::mutex> hold(lock);
        candidates[i].Size = stream.size();
        auto before = [&](size_t a, size_t b) {
            return std::pair(candidates[a].Size, a) < std::pair(candidates[b].Size, b);
        };
        if (best == SIZE_MAX || before(i, best)) {
            if (best != SIZE_MAX) std::vector<uint8_t>().swap(candidates[best].Stream);
            candidates[i].Stream = std::move(stream);
            best = i;
        }
        if (keep) {
            candidates[i].Filtered = std::move(filtered);
            kept.insert(std::lower_bound(kept.begin(), kept.end(), i, before), i);
            if (kept.size() > 2) {
                std::vector<uint8_t>().swap(candidates[kept.back()].Filtered);
                kept.pop_back();
            }
        }
    });
    return candidates;
}

// Indexes of the two smallest candidates, the earlier one first on ties;
// SIZE_MAX for a second that does not exist.
std::pair<size_t, size_t> TwoSmallest(const std::vector<TCandidate>& candidates) {
    size_t first = 0, second = SIZE_MAX;
    for (size_t i = 1; i < candidates.size(); ++i) {
        const size_t size = candidates[i].Size;
        if (size < candidates[first].Size) {
            second = first;
            first = i;
        } else if (second == SIZE_MAX || size < candidates[second].Size) {
            second = i;
        }
    }
    return {first, second};
}

// Image data that the fast compressor shrinks to a quarter or less is
// graphics-like: there the optimal parse gains several per cent, where on
// photographs it gains nothing or loses to the strong compressor.
constexpr size_t kGraphicsRatio = 4;
// The one optimal-parsing pass costs a microsecond a byte and up to twenty
// on smooth gradients, ten times the strong compressor and more: the quick
// search spends it on small image data only, where that stays within a
// tenth of a second.
constexpr size_t kQuickOptimalLimit = size_t(64) << 10;
// On tiny image data (icons, test images) the fast compressor ranks the
// strategies wrongly by several per cent, and a few bytes are a large
// share of the file; the strong compressor costs next to nothing there,
// and the optimal parse at full effort a few milliseconds.
constexpr size_t kTinyLimit = size_t(4) << 10;

}  // namespace

TPngFilterStrategy ChooseBandStrategy(std::span<const TPngRawPass> sample, uint32_t filterBytesPerPixel, int level) {
    std::vector<TPngFilterStrategy> strategies;
    for (int s = 0; s < kPngFilterStrategyCount; ++s)
        if (static_cast<TPngFilterStrategy>(s) != TPngFilterStrategy::Trial)
            strategies.push_back(static_cast<TPngFilterStrategy>(s));
    const bool strong = level >= kPngSearchThorough && PngCompressorAvailable(TPngCompressor::Strong);
    const std::vector<TCandidate> candidates =
        Measure(sample, filterBytesPerPixel, strategies, strong ? TPngCompressor::Strong : TPngCompressor::Fast);
    return strategies[TwoSmallest(candidates).first];
}

// Effort by level:
//   estimate  no filter and the least sum of differences, with the fast
//             compressor: the two strategies that rank layouts reliably
//             at a fraction of the cost;
//   quick     every strategy measured with the fast compressor (the strong
//             one on tiny data); the best two packed with the strong
//             one; small graphics also get one optimal-parsing pass, tiny
//             data the full optimal parse;
//   thorough  every strategy measured with the strong compressor; the
//             best two packed with the optimal parse at full effort.
// The smallest stream wins, the earlier on ties.
std::vector<uint8_t> SearchImageData(std::span<const TPngRawPass> passes, uint32_t filterBytesPerPixel,
                                     int level) {
    std::vector<TPngFilterStrategy> strategies;
    if (level <= kPngSearchEstimate) {
        strategies = {TPngFilterStrategy::None, TPngFilterStrategy::MinSum};
    } else {
        for (int s = 0; s < kPngFilterStrategyCount; ++s) strategies.push_back(static_cast<TPngFilterStrategy>(s));
    }
    const bool thorough = level >= kPngSearchThorough;
    const bool tiny = FilteredSize(passes) <= kTinyLimit;
    const bool measureStrong =
        level > kPngSearchEstimate && (thorough || tiny) && PngCompressorAvailable(TPngCompressor::Strong);
    std::vector<TCandidate> candidates = Measure(passes, filterBytesPerPixel, strategies,
                                                 measureStrong ? TPngCompressor::Strong : TPngCompressor::Fast);
    // Plain variables rather than a structured binding: the lambda below
    // captures them, which older clang refuses for bindings.
    const auto smallest = TwoSmallest(candidates);
    const size_t first = smallest.first, second = smallest.second;
    if (level <= kPngSearchEstimate) return std::move(candidates[first].Stream);

    // The fast compressor's order is only a hint: on some images the strong
    // one reverses the two by a fifth (an icon: no filter 20,141 against
    // 22,637 fast, 15,325 against 12,344 strong), so both go on.
    const size_t bytes = FilteredSize(passes);
    // Final packings: (candidate, compressor).
    std::vector<std::pair<size_t, TPngCompressor>> finals;
    auto both = [&](TPngCompressor compressor) {
        finals.push_back({first, compressor});
        if (second != SIZE_MAX) finals.push_back({second, compressor});
    };
    if (thorough || tiny) {
        both(TPngCompressor::Strongest);
    } else {
        both(TPngCompressor::Strong);
        if (bytes <= kQuickOptimalLimit && candidates[first].Size <= bytes / kGraphicsRatio)
            finals.push_back({first, TPngCompressor::Optimal});
    }
    // On small data zlib's block choice now and then beats the strong
    // compressor's by a few bytes, at little cost.
    if (bytes <= kQuickOptimalLimit) both(TPngCompressor::Zlib9);
    std::erase_if(finals, [](const auto& f) { return !PngCompressorAvailable(f.second); });
    if (finals.empty()) return std::move(candidates[first].Stream);
    // The two candidates' rows, kept or made again the same as measured.
    std::vector<std::vector<uint8_t>> filtered(candidates.size());
    std::vector<size_t> refilter = {first};
    if (second != SIZE_MAX) refilter.push_back(second);
    RunOnTwoThreads(refilter.size(), [&](size_t k) {
        const size_t c = refilter[k];
        filtered[c] = candidates[c].Filtered.empty() ? FilterImageData(passes, filterBytesPerPixel, strategies[c])
                                                     : std::move(candidates[c].Filtered);
    });
    // The measured stream of the best candidate is a whole stream too; it
    // stands unless a final packing beats it, the earlier packing on ties.
    // Only the best so far is kept.
    std::vector<uint8_t> best = std::move(candidates[first].Stream);
    std::pair<size_t, size_t> bestKey{best.size(), 0};
    std::mutex lock;
    RunOnTwoThreads(finals.size(), [&](size_t i) {
        std::vector<uint8_t> stream = CompressImageData(filtered[finals[i].first], finals[i].second);
        const std::lock_guard<std::mutex> hold(lock);
        const std::pair<size_t, size_t> key{stream.size(), i + 1};
        if (!stream.empty() && key < bestKey) {
            best = std::move(stream);
            bestKey = key;
        }
    });
    return best;
}
