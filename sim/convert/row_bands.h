#pragma once

// Splits an image's rows into bands converted side by side. Every output row depends only on the
// input rows around it, so a band that reads beyond its own rows gives the same bytes as one pass.
#include <algorithm>
#include <thread>
#include <vector>

#include "sim/common/conversion_threads.h"

namespace qorsim::conv {

/// Below this many pixels a second thread costs more than it saves.
inline constexpr long kBandMinPixels = 256 * 1024;

/// Calls rows(begin, end) for consecutive bands of [0, height), the first on the calling thread.
template <typename Rows>
void inBands(int width, int height, Rows&& rows) {
    int bands = conversionThreads();
    if (static_cast<long>(width) * height < kBandMinPixels) bands = 1;
    bands = std::clamp(bands, 1, std::max(height, 1));
    if (bands == 1) {
        rows(0, height);
        return;
    }
    std::vector<std::thread> helpers;
    for (int b = 1; b < bands; ++b)
        helpers.emplace_back([&rows, b, bands, height] { rows(height * b / bands, height * (b + 1) / bands); });
    rows(0, height / bands);
    for (auto& helper : helpers) helper.join();
}

}  // namespace qorsim::conv
