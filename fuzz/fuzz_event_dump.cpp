// The event dump (read_events) on arbitrary replies, played by the scripted bridge in virtual
// time. The reply's bytes repeat, so that a short input makes a dump of any length, up to one
// byte past the engine's limit.
//
// Input: byte 0 bit 7, a read error after the reply's bytes, bit 6, a reply that may run to the
// engine's limit (else it stops 256 bytes past a whole dump); bytes 1-2 how many times the
// bytes repeat (big-endian, 0 as once); byte 3 the shape of the reply (see read_cuts), three
// bytes per cut with its position; then the bytes.
#include "check.h"
#include "link_script.h"

#include <cstring>
#include <glib.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t HEADER = 4;
    if (size < HEADER)
        return 0;
    bool read_error = data[0] & 0x80;
    bool to_limit = data[0] & 0x40;
    size_t repeats = std::max(data[1] << 8 | data[2], 1);
    std::vector<std::pair<size_t, fuzz::Cut>> cuts;
    size_t used = fuzz::read_cuts(data + HEADER, size - HEADER, data[3], 3, cuts);
    if (cuts.size() != (data[3] & 3u))
        return 0;
    const uint8_t* bytes = data + HEADER + used;
    size_t length = size - HEADER - used;
    // Most inputs stop a little past a whole dump: the engine spends its time per byte, and
    // only the limit itself needs the long ones.
    size_t most = to_limit ? static_cast<size_t>(EVENTS_LIMIT) + 1 : EVENTS_LENGTH + 256;
    fuzz::Bytes stream(std::min(length * repeats, most));
    for (size_t at = 0; at < stream.size(); at += length)
        std::memcpy(stream.data() + at, bytes, std::min(length, stream.size() - at));
    fuzz::Script script = fuzz::make_script(stream, cuts, read_error);

    // A burst that ends at the dump's length before a silence (or the reply's end) ends the
    // answer there: what comes later is a tail for the next request to drop.
    bool whole_then_quiet = false;
    const auto& arrivals = script.replies.front();
    size_t at = 0;
    for (size_t i = 0; i < arrivals.size() && at < EVENTS_LENGTH; ++i) {
        at += arrivals[i].bytes.size();
        if (arrivals[i].kind == fake::Arrival::Silence && arrivals[i].ms >= NEXT_BYTE_TIMEOUT_MS)
            break;
        whole_then_quiet = at == EVENTS_LENGTH && (i + 1 == arrivals.size() ||
                                                   arrivals[i + 1].kind == fake::Arrival::Silence);
    }

    fuzz::ScriptedLink link(script);
    uint8_t* buffer = reinterpret_cast<uint8_t*>(1); // must be cleared on failure
    uint32_t dump_length = 0;
    uint32_t progress_last = 0;
    auto progress = [](uint32_t received, void* data) {
        auto* last = static_cast<uint32_t*>(data);
        FUZZ_CHECK(received > *last && received <= static_cast<uint32_t>(EVENTS_LIMIT));
        *last = received;
    };
    int rc = controller.read_events(&buffer, &dump_length, progress, &progress_last);
    FUZZ_CHECK(link->requests.size() == 1);
    FUZZ_CHECK(link->requests.front() == fake::with_crc({0x01, 0x03, EVENTS_ADDRESS >> 8,
                                                         EVENTS_ADDRESS & 0xFF, 0x00, 0x01}));

    // Fewer than three bytes, or the bridge failing before the limit, is no answer. Else the
    // answer is what came until the silence or the limit (or the whole dump before a pause), and
    // a dump when it is 64512 bytes.
    size_t came = whole_then_quiet ? EVENTS_LENGTH : script.delivered.front().size();
    bool error_reached = script.error_reached && !whole_then_quiet;
    bool answered = came >= 3 && !(error_reached && came < EVENTS_LIMIT);
    FUZZ_CHECK(rc == (!answered               ? LINK_COMM_FAILURE
                      : came == EVENTS_LENGTH ? LINK_OK
                                              : LINK_REPLY_FAULT));
    FUZZ_CHECK(dump_length == (answered ? std::min<size_t>(came, EVENTS_LIMIT) : 0));
    FUZZ_CHECK(!answered || progress_last == dump_length);
    FUZZ_CHECK((buffer != nullptr) == (rc == LINK_OK));
    if (buffer) {
        FUZZ_CHECK(std::memcmp(buffer, stream.data(), EVENTS_LENGTH) == 0);
        g_free(buffer);
    }
    return 0;
}
