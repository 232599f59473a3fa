// The health check's cost per frame: picture statistics of a 20-megapixel
// frame in each family of pixel formats, one thread, for each instruction-set
// family the processor has, against memcpy of the frame's bytes. The rows
// "read" are a pass that only adds the frame's bytes (AVX2, whatever the
// column): the bound of reading them with the same access pattern.
#include "FamilyTable.h"
#include "NoisyFrame.h"
#include "platform/imaging/stats/PictureStats.h"

#include <immintrin.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

volatile uint64_t g_sink;

__attribute__((target("avx2"), noinline)) void ReadAll(const uint8_t* p, size_t n)
{
    __m256i total = _mm256_setzero_si256();
    for (size_t i = 0; i + 32 <= n; i += 32)
        total = _mm256_add_epi64(total, _mm256_sad_epu8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)),
                                                        _mm256_setzero_si256()));
    g_sink = uint64_t(_mm256_extract_epi64(total, 0));
}

}  // namespace

int main()
{
    constexpr uint32_t kWidth = 5472, kHeight = 3648;
    const char* formats[] = {"Mono8", "BayerRG8", "RGB8", "YUV422_8", "Mono16", "Mono12p", "BayerRG12p"};
    std::vector<std::vector<uint8_t>> frames, copies;
    for (const char* format : formats) {
        frames.push_back(NoisyFrame(format, kWidth, kHeight));
        copies.emplace_back(frames.back().size());
    }
    auto stats = std::make_shared<imaging::PictureStats>();
    std::vector<FamilyRow> rows;
    for (const bool read : {false, true})
        for (size_t i = 0; i < frames.size(); ++i) {
            const std::vector<uint8_t>& frame = frames[i];
            std::vector<uint8_t>& copy = copies[i];
            const char* format = formats[i];
            FamilyRow row;
            row.name = std::string(format) + (read ? " read" : "");
            row.anchor = "memcpy " + std::to_string(frame.size() >> 20) + " MiB";
            row.targets = read ? "bound" : "1.0 / 1.3";
            row.anchorRun = [&frame, &copy] { std::memcpy(copy.data(), frame.data(), frame.size()); };
            if (read)
                row.ours = [&frame] { ReadAll(frame.data(), frame.size()); };
            else
                row.ours = [&frame, format, stats] {
                    stats->Add({frame.data(), frame.size(), kWidth, kHeight, format});
                };
            rows.push_back(row);
        }
    FamilyTable("picture statistics of a 5472 x 3648 frame, one thread, against memcpy of the frame's bytes",
                imaging::Kernel::Stats, rows, 9);
    return 0;
}
