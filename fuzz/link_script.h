// Turns fuzz input into the scripted bridge's replies. A reply is a byte stream cut at a few
// positions; what happens at each cut is a Cut.
#pragma once

#include "check.h"
#include "link/serial.h"
#include "support/fake_bridge.h"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace fuzz {

using fake::Bytes;

enum Cut : uint8_t {
    BURST,     // the bytes after it come in a burst of their own
    SHORT_GAP, // ... after a silence shorter than any read timeout
    LONG_GAP,  // ... after a silence that ends the reply
    RETRY,     // ... as the answer to the next request
};

// The cuts: shape's low two bits give their number, its next pairs of bits their kinds; each
// has a big-endian position of position_bytes at data. Returns the bytes used, 0 when too few.
inline size_t read_cuts(const uint8_t* data, size_t size, uint8_t shape, size_t position_bytes,
                        std::vector<std::pair<size_t, Cut>>& cuts) {
    size_t count = shape & 3;
    if (size < count * position_bytes)
        return 0;
    for (size_t i = 0; i < count; ++i) {
        size_t at = 0;
        for (size_t k = 0; k < position_bytes; ++k)
            at = at << 8 | data[i * position_bytes + k];
        cuts.emplace_back(at, static_cast<Cut>(shape >> (2 + 2 * i) & 3));
    }
    std::stable_sort(cuts.begin(), cuts.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    return count * position_bytes;
}

// What the bridge sends back for each request, and what each reply delivers before a silence
// ends it.
struct Script {
    std::vector<std::vector<fake::Arrival>> replies{1};
    std::vector<Bytes> delivered{1};
    std::vector<std::vector<size_t>> burst_ends{1}; // within delivered
    bool error_reached = false;                     // the first reply's read error is met
};

// read_error: the first reply ends with a read error instead of silence.
inline Script make_script(const Bytes& stream, std::vector<std::pair<size_t, Cut>> cuts,
                          bool read_error) {
    Script s;
    std::vector<bool> ended{false};
    size_t from = 0;
    cuts.emplace_back(stream.size(), BURST);
    for (auto [at, cut] : cuts) {
        at = std::min(at, stream.size());
        if (at > from) {
            Bytes bytes(stream.begin() + static_cast<long>(from),
                        stream.begin() + static_cast<long>(at));
            if (!ended.back()) {
                s.delivered.back().insert(s.delivered.back().end(), bytes.begin(), bytes.end());
                s.burst_ends.back().push_back(s.delivered.back().size());
            }
            s.replies.back().push_back(fake::burst(std::move(bytes)));
            from = at;
        }
        if (cut == SHORT_GAP) {
            s.replies.back().push_back(fake::silence(NEXT_BYTE_TIMEOUT_MS - 1));
        } else if (cut == LONG_GAP) {
            s.replies.back().push_back(fake::silence(FIRST_BYTE_TIMEOUT_MS));
            ended.back() = true;
        } else if (cut == RETRY) {
            s.replies.emplace_back();
            s.delivered.emplace_back();
            s.burst_ends.emplace_back();
            ended.push_back(false);
        }
    }
    if (read_error) {
        s.replies.front().push_back(fake::read_error());
        s.error_reached = !ended.front();
    }
    return s;
}

// Installs the bridge with the script's replies and opens the link, for the scope.
struct ScriptedLink : fake::Scope {
    explicit ScriptedLink(Script& script) {
        for (auto& reply : script.replies)
            (*this)->reply(std::move(reply));
        FUZZ_CHECK(controller.open() == 1);
    }
};

} // namespace fuzz
