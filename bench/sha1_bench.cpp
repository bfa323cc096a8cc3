// Cost of the two utility operations on the web worker's path: turning a plate
// text into a card number, and decoding an uploaded Base64 file.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "util/base64.h"
#include "util/sha1.h"

namespace {

void BM_PlateToCardNumber(benchmark::State& state) {
    // Plates run from 7 to 10 characters.
    const std::string plate =
        std::string("KA01AB1234").substr(0, static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        Sha1 sha;
        sha.update(plate);
        const std::string digest = sha.finalHex();
        uint32_t card = cardNumberFromDigest(digest);
        benchmark::DoNotOptimize(card);
    }
}
BENCHMARK(BM_PlateToCardNumber)->Arg(7)->Arg(10);

void BM_Base64Decode4KiB(benchmark::State& state) {
    // 1024 groups of four characters, both alphabets and a padded group now and
    // then, as an upload may carry.
    const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/-_";
    std::string text;
    for (size_t i = 0; text.size() < 4096; ++i) {
        if (i % 64 == 63) {
            text += "QQ==";
        } else {
            for (size_t k = 0; k < 4; ++k) {
                text.push_back(alphabet[(i * 4 + k) % alphabet.size()]);
            }
        }
    }
    for (auto _ : state) {
        std::string bytes = base64Decode(text);
        benchmark::DoNotOptimize(bytes.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_Base64Decode4KiB);

}  // namespace

BENCHMARK_MAIN();
