// The reply checks of read_registers and write_registers on arbitrary replies, played by the
// scripted bridge in virtual time (a timeout costs nothing).
//
// Input: byte 0 the request (bit 0: read_registers or write_registers; bit 7: a read error
// after the first attempt's bytes); bytes 1-2 the start address and 3-4 the register count,
// big-endian (the count's low nine bits); byte 5 the shape of the reply (see read_cuts), two bytes
// per cut with its position; then the reply's bytes.
#include "check.h"
#include "link/crc16.h"
#include "link_script.h"

#include <algorithm>
#include <span>

namespace {

using fuzz::Bytes;
using fuzz::Script;

bool starts_with(const Bytes& bytes, const Bytes& prefix) {
    return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

// Whether the first reply is exactly this frame, with no earlier burst end where a CRC closes:
// then the engine has nothing to choose and must take it.
bool only_frame(const Script& s, const Bytes& frame) {
    if (s.delivered.front() != frame || crc16_modbus(frame.data(), frame.size()) != 0)
        return false;
    for (size_t end : s.burst_ends.front())
        if (end >= 2 && end < frame.size() && crc16_modbus(frame.data(), end) == 0)
            return false;
    return true;
}

// The replies to the two attempts of a request.
std::span<const Bytes> attempts(const Script& s) {
    return {s.delivered.data(), std::min<size_t>(s.delivered.size(), 2)};
}

// Whether either attempt's reply starts with this frame.
bool sent_frame(const Script& s, const Bytes& frame) {
    return std::ranges::any_of(attempts(s), [&](const Bytes& d) { return starts_with(d, frame); });
}

// Whether either attempt's reply starts with an exception reply to this function.
bool sent_exception(const Script& s, uint8_t function) {
    return std::ranges::any_of(attempts(s), [&](const Bytes& d) {
        return d.size() >= 5 && d[0] == 0x01 && d[1] == (function | 0x80) &&
               crc16_modbus(d.data(), 5) == 0;
    });
}

void put16(Bytes& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value & 0xFF));
}

void check_read(const fake::Link& link, const Script& s, uint16_t start, uint16_t count) {
    constexpr uint16_t UNTOUCHED = 0xA55A;
    // Exactly count entries on the heap: ASan catches a write past them.
    std::vector<uint16_t> values(count, UNTOUCHED);
    int rc = controller.read_registers(start, count, values.data());
    FUZZ_CHECK(rc == LINK_OK || rc == LINK_COMM_FAILURE || rc == LINK_EXCEPTION ||
               rc == LINK_REPLY_FAULT);

    Bytes request{0x01, 0x03};
    put16(request, start);
    put16(request, count);
    request = fake::with_crc(request);
    FUZZ_CHECK(!link.requests.empty() && link.requests.size() <= 2);
    for (const Bytes& r : link.requests)
        FUZZ_CHECK(r == request);

    // The reply the values were taken from (none can hold more than MAX_REGISTERS).
    Bytes frame;
    if (rc == LINK_OK) {
        FUZZ_CHECK(count <= MAX_REGISTERS);
        frame = {0x01, 0x03, static_cast<uint8_t>(2 * count)};
        for (uint16_t v : values)
            put16(frame, v);
        frame = fake::with_crc(frame);
        FUZZ_CHECK(sent_frame(s, frame));
    } else {
        FUZZ_CHECK(
            std::all_of(values.begin(), values.end(), [](uint16_t v) { return v == UNTOUCHED; }));
    }
    if (rc == LINK_EXCEPTION)
        FUZZ_CHECK(sent_exception(s, 0x03));

    // A clean first reply is taken as it is.
    const Bytes& first = s.delivered.front();
    if (count <= MAX_REGISTERS && first.size() == 2u * count + 5u && first[0] == 0x01 &&
        first[1] == 0x03 && first[2] == 2 * count && only_frame(s, first))
        FUZZ_CHECK(rc == LINK_OK && frame == first);
    // (A read of no registers has a 5-byte normal reply: the length cannot tell them apart.)
    if (count > 0 && first.size() == 5 && first[0] == 0x01 && first[1] == 0x83 &&
        only_frame(s, first))
        FUZZ_CHECK(rc == LINK_EXCEPTION);
}

void check_write(const fake::Link& link, const Script& s, uint16_t start, uint16_t count) {
    std::vector<uint16_t> values(count);
    for (size_t k = 0; k < values.size(); ++k)
        values[k] = static_cast<uint16_t>(k * 0x0101 + start);
    int rc = controller.write_registers(start, count, values.data());
    FUZZ_CHECK(rc == LINK_OK || rc == LINK_COMM_FAILURE || rc == LINK_EXCEPTION ||
               rc == LINK_REPLY_FAULT);

    Bytes echo{0x01, 0x10};
    put16(echo, start);
    put16(echo, count);
    if (count > MAX_REGISTERS) {
        // Not sendable: refused before anything goes on the wire.
        FUZZ_CHECK(rc == LINK_REPLY_FAULT && link.requests.empty());
        return;
    }
    Bytes request = echo;
    request.push_back(static_cast<uint8_t>(2 * count));
    for (uint16_t v : values)
        put16(request, v);
    request = fake::with_crc(request);
    FUZZ_CHECK(!link.requests.empty() && link.requests.size() <= 2);
    for (const Bytes& r : link.requests)
        FUZZ_CHECK(r == request);

    echo = fake::with_crc(echo);
    if (rc == LINK_OK)
        FUZZ_CHECK(sent_frame(s, echo));
    if (rc == LINK_EXCEPTION)
        FUZZ_CHECK(sent_exception(s, 0x10));
    const Bytes& first = s.delivered.front();
    if (only_frame(s, echo))
        FUZZ_CHECK(rc == LINK_OK);
    if (first.size() == 5 && first[0] == 0x01 && first[1] == 0x90 && only_frame(s, first))
        FUZZ_CHECK(rc == LINK_EXCEPTION);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t HEADER = 6;
    if (size < HEADER)
        return 0;
    bool read = !(data[0] & 1);
    bool read_error = data[0] & 0x80;
    auto start = static_cast<uint16_t>(data[1] << 8 | data[2]);
    // Counts past what a reply of the limit could hold tell nothing more, and cost time.
    auto count = static_cast<uint16_t>((data[3] << 8 | data[4]) & 0x1FF);
    std::vector<std::pair<size_t, fuzz::Cut>> cuts;
    size_t used = fuzz::read_cuts(data + HEADER, size - HEADER, data[5], 2, cuts);
    if (cuts.size() != (data[5] & 3u))
        return 0;
    Bytes stream(data + HEADER + used, data + size);
    Script script = fuzz::make_script(stream, cuts, read_error);

    fuzz::ScriptedLink link(script);
    if (read)
        check_read(*link, script, start, count);
    else
        check_write(*link, script, start, count);
    return 0;
}
