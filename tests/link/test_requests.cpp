// The MODBUS requests over a scripted bridge: what each sends, and its verdict on every reply.
#include "support/fake_bridge.h"

#include <glib.h>

namespace {

using fake::burst;
using fake::Bytes;
using fake::with_crc;

using Requests = fake::FakeLinkTest;

// Slave 1, the function, the first register and the count.
Bytes header(uint8_t function, uint16_t start, uint16_t count) {
    return {1, function, uint8_t(start >> 8), uint8_t(start), uint8_t(count >> 8), uint8_t(count)};
}

// Register values as sent: 0x0101, 0x0202, ...
std::vector<uint16_t> sample_values(unsigned count) {
    std::vector<uint16_t> v(count);
    for (unsigned k = 0; k < count; ++k)
        v[k] = static_cast<uint16_t>((k + 1) * 0x0101);
    return v;
}

// The frame followed by a byte count and count sample values: a read's reply, a write request.
Bytes with_values(Bytes frame, unsigned count) {
    frame.push_back(uint8_t(2 * count));
    for (uint16_t v : sample_values(count))
        frame.insert(frame.end(), {uint8_t(v >> 8), uint8_t(v)});
    return with_crc(frame);
}

Bytes read_reply(unsigned count) {
    return with_values({1, 3}, count);
}

// The frame with one byte changed, and its CRC made to fit again unless `reseal` is false.
Bytes with_byte(Bytes frame, size_t at, uint8_t value, bool reseal = true) {
    frame.at(at) = value;
    return reseal ? with_crc(Bytes(frame.begin(), frame.end() - 2)) : frame;
}

// Only the reply asked for is taken: the values are stored on success only, and a failed
// transaction (not a faulty reply) is sent once more.
TEST_F(Requests, ReadAndWriteRegisters) {
    const uint16_t untouched = 0xBEEF;
    const uint8_t R = 0x03, W = 0x10;
    const Bytes echo = with_crc(header(W, 300, 2)), exception = with_crc({1, 0x83, 2});
    // What, the function, the first register, the count, the reply (empty: none), the result.
    std::vector<std::tuple<std::string, uint8_t, uint16_t, uint16_t, Bytes, int>> all = {
        {"fourteen registers", R, 200, 14, read_reply(14), LINK_OK},
        {"identification", R, IDENTIFICATION_ADDRESS, 9, read_reply(9), LINK_OK},
        {"exception", R, 200, 14, exception, LINK_EXCEPTION},
        {"exception from slave 2", R, 200, 14, with_crc({2, 0x83, 2}), LINK_REPLY_FAULT},
        {"exception to a write", R, 200, 14, with_crc({1, 0x90, 2}), LINK_REPLY_FAULT},
        {"byte count off by 2", R, 200, 14, with_byte(read_reply(14), 2, 26), LINK_REPLY_FAULT},
        {"slave 2", R, 200, 14, with_byte(read_reply(14), 0, 2), LINK_REPLY_FAULT},
        {"function 4", R, 200, 14, with_byte(read_reply(14), 1, 4), LINK_REPLY_FAULT},
        {"128 registers", R, 0, 128, read_reply(128), LINK_REPLY_FAULT},
        {"no registers", R, 0, 0, with_crc({1, 3, 0}), LINK_OK},
        {"exception to no registers", R, 0, 0, exception, LINK_REPLY_FAULT},
        {"bad crc", R, 200, 14, with_byte(read_reply(14), 32, 0, false), LINK_COMM_FAILURE},
        {"no reply", R, 200, 14, {}, LINK_COMM_FAILURE},
        {"longer than the buffer", R, 200, 14, Bytes(1500, 0x01), LINK_COMM_FAILURE},
        {"echo", W, 300, 2, echo, LINK_OK},
        {"write exception", W, 300, 2, with_crc({1, 0x90, 2}), LINK_EXCEPTION},
        {"write exception from slave 2", W, 300, 2, with_crc({2, 0x90, 2}), LINK_REPLY_FAULT},
        {"exception to a read", W, 300, 2, exception, LINK_REPLY_FAULT},
        {"echo of a read reply", W, 300, 2, read_reply(2), LINK_REPLY_FAULT},
        {"echo with a byte count", W, 300, 2, with_values(header(W, 300, 2), 0), LINK_REPLY_FAULT},
        {"no echo", W, 300, 2, {}, LINK_COMM_FAILURE},
        // The largest write whose byte count fits its one byte; one more could only go out
        // with a mangled byte count, and is not sent.
        {"127 registers", W, 0, 127, with_crc(header(W, 0, 127)), LINK_OK},
        {"128 registers written", W, 0, 128, {}, LINK_REPLY_FAULT},
        {"65535 registers written", W, 0, 0xFFFF, {}, LINK_REPLY_FAULT},
    };
    // Frames of every length but the right one (9) for a read of 2 registers.
    for (uint8_t n = 3; n < 40; ++n) {
        Bytes body{1, 3, 4};
        body.resize(n - 2, 0x11);
        if (n != 9)
            all.emplace_back("length " + std::to_string(n), R, 0, 2, with_crc(body),
                             LINK_REPLY_FAULT);
    }
    // An echo that differs from the request in any one of its six bytes.
    for (size_t i = 0; i < 6; ++i) {
        Bytes body = header(W, 300, 2);
        body[i] ^= 0x01;
        all.emplace_back("echo differing", W, 300, 2, with_crc(body), LINK_REPLY_FAULT);
    }
    for (auto& [name, function, start, count, reply, result] : all) {
        auto l = fake::Link::install();
        ASSERT_EQ(serial_open(), 1);
        l->reply(reply);
        l->reply(reply);
        std::vector<uint16_t> values(count + 1u, untouched), expected = values;
        bool write = function == W;
        EXPECT_EQ(write ? write_registers(start, count, sample_values(count).data())
                        : read_registers(start, count, values.data()),
                  result)
            << name;
        if (!write && result == LINK_OK)
            std::copy_n(sample_values(count).begin(), count, expected.begin());
        EXPECT_EQ(values, expected) << name;
        Bytes request =
            write ? with_values(header(W, start, count), count) : with_crc(header(R, start, count));
        size_t sent = write && count > 127 ? 0 : result == LINK_COMM_FAILURE ? 2 : 1;
        EXPECT_EQ(l->requests, std::vector<Bytes>(sent, request)) << name;
        serial_close();
    }
}

void record(uint32_t received, void* progress) {
    static_cast<std::vector<uint32_t>*>(progress)->push_back(received);
}

// A dump is asked for once, taken whole or not at all, and ends on silence.
TEST_F(Requests, EventDump) {
    Bytes image(EVENTS_LIMIT + 5000, 0x5A);
    for (size_t i = 0; i < EVENTS_LENGTH; ++i)
        image[i] = static_cast<uint8_t>(i * 7);
    auto part = [&](size_t from, size_t to) {
        return burst(Bytes(image.begin() + long(from), image.begin() + long(to)));
    };
    const Bytes whole(image.begin(), image.begin() + EVENTS_LENGTH);
    // What, the reply, the result and the length received.
    const std::tuple<const char*, std::vector<fake::Arrival>, int, uint32_t> cases[] = {
        {"whole image", {part(0, 1000), part(1000, EVENTS_LENGTH)}, LINK_OK, EVENTS_LENGTH},
        {"one byte short", {part(0, EVENTS_LENGTH - 1)}, LINK_REPLY_FAULT, EVENTS_LENGTH - 1},
        {"one byte over", {part(0, EVENTS_LENGTH + 1)}, LINK_REPLY_FAULT, EVENTS_LENGTH + 1},
        {"beyond the buffer", {part(0, image.size())}, LINK_REPLY_FAULT, EVENTS_LIMIT},
        {"no answer", {}, LINK_COMM_FAILURE, 0},
        {"two bytes", {part(0, 2)}, LINK_COMM_FAILURE, 0},
        {"read error", {part(0, 1000), fake::read_error()}, LINK_COMM_FAILURE, 0},
    };
    for (auto& [name, script, result, received] : cases) {
        auto l = fake::Link::install();
        ASSERT_EQ(serial_open(), 1);
        l->reply(script);
        l->reply(script);
        uint8_t* dump = nullptr;
        uint32_t length = 0;
        std::vector<uint32_t> progress;
        EXPECT_EQ(read_events(&dump, &length, record, &progress), result) << name;
        EXPECT_EQ(length, received) << name;
        EXPECT_EQ(dump ? Bytes(dump, dump + EVENTS_LENGTH) : Bytes(),
                  result == LINK_OK ? whole : Bytes())
            << name;
        g_free(dump);
        EXPECT_EQ(l->requests, std::vector<Bytes>{with_crc(header(3, EVENTS_ADDRESS, 1))});
        EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end())) << name;
        if (result == LINK_OK) {
            EXPECT_EQ(progress.back(), EVENTS_LENGTH);
            EXPECT_EQ(l->timeouts_hit, std::vector<uint32_t>{1000});
        }
        serial_close();
    }
}

} // namespace
