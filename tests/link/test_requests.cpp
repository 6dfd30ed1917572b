#include "support/fake_bridge.h"

#include <glib.h>

namespace {

using fake::burst;
using fake::Bytes;
using fake::FakeLinkTest;
using fake::with_crc;

using Requests = FakeLinkTest;

// Register count and values as sent: count values 0x0101, 0x0202, ...
std::vector<uint16_t> sample_values(unsigned count) {
    std::vector<uint16_t> v(count);
    for (unsigned k = 0; k < count; ++k)
        v[k] = static_cast<uint16_t>((k + 1) * 0x0101);
    return v;
}

// The normal reply to a read of count registers holding sample_values.
Bytes read_reply(unsigned count) {
    Bytes b{0x01, 0x03, static_cast<uint8_t>(2 * count)};
    for (uint16_t v : sample_values(count)) {
        b.push_back(static_cast<uint8_t>(v >> 8));
        b.push_back(static_cast<uint8_t>(v & 0xFF));
    }
    return with_crc(b);
}

Bytes with_byte(Bytes b, size_t at, uint8_t value) {
    b.at(at) = value;
    return b;
}

TEST_F(Requests, ReadRegisters) {
    const uint16_t untouched = 0xBEEF;
    struct Case {
        const char* name;
        uint16_t start, count;
        Bytes reply; // empty: no reply
        int result;
    } cases[] = {
        {"fourteen registers", 200, 14, read_reply(14), LINK_OK},
        {"identification", IDENTIFICATION_ADDRESS, 9, read_reply(9), LINK_OK},
        {"exception", 200, 14, {0x01, 0x83, 0x02, 0xC0, 0xF1}, LINK_EXCEPTION},
        {"exception from slave 2", 200, 14, with_crc({0x02, 0x83, 0x02}), LINK_REPLY_FAULT},
        {"exception to another function", 200, 14, with_crc({0x01, 0x90, 0x02}), LINK_REPLY_FAULT},
        {"byte count off by 2", 200, 14, with_crc(with_byte(read_reply(14), 2, 26)),
         LINK_REPLY_FAULT},
        {"slave 2", 200, 14, with_crc(with_byte(read_reply(14), 0, 2)), LINK_REPLY_FAULT},
        {"function 4", 200, 14, with_crc(with_byte(read_reply(14), 1, 4)), LINK_REPLY_FAULT},
        {"one register short", 200, 14, read_reply(13), LINK_REPLY_FAULT},
        {"one register too many", 200, 14, read_reply(15), LINK_REPLY_FAULT},
        {"128 registers", 0, 128, read_reply(128), LINK_REPLY_FAULT},
        {"no registers", 0, 0, with_crc({0x01, 0x03, 0x00}), LINK_OK},
        {"exception to no registers", 0, 0, {0x01, 0x83, 0x02, 0xC0, 0xF1}, LINK_REPLY_FAULT},
        {"bad crc", 200, 14, with_byte(read_reply(14), 32, 0), LINK_COMM_FAILURE},
        {"no reply", 200, 14, {}, LINK_COMM_FAILURE},
        {"longer than the buffer", 200, 14, Bytes(1500, 0x01), LINK_COMM_FAILURE},
    };
    for (auto& c : cases) {
        auto l = fake::Link::install();
        ASSERT_EQ(serial_open(), 1);
        l->reply(c.reply);
        l->reply(c.reply);
        std::vector<uint16_t> values(c.count + 1, untouched);
        EXPECT_EQ(read_registers(c.start, c.count, values.data()), c.result) << c.name;
        std::vector<uint16_t> expected(c.count + 1, untouched);
        if (c.result == LINK_OK)
            std::copy_n(sample_values(c.count).begin(), c.count, expected.begin());
        EXPECT_EQ(values, expected) << c.name << ": values are written on success only";
        ASSERT_FALSE(l->requests.empty());
        EXPECT_EQ(l->requests[0],
                  with_crc({0x01, 0x03, uint8_t(c.start >> 8), uint8_t(c.start & 0xFF),
                            uint8_t(c.count >> 8), uint8_t(c.count & 0xFF)}))
            << c.name;
        EXPECT_EQ(l->requests.size(), c.result == LINK_COMM_FAILURE ? 2u : 1u) << c.name;
        if (c.start == 200) {
            EXPECT_EQ(l->requests[0], (Bytes{0x01, 0x03, 0x00, 0xC8, 0x00, 0x0E, 0x45, 0xF0}));
        }
        serial_close();
    }
}

TEST_F(Requests, EveryOtherReplyLengthIsAFault) {
    open();
    // Well-formed frames of every length but the right one (9) for a read of 2 registers.
    for (uint8_t n = 3; n < 40; ++n) {
        if (n == 9)
            continue;
        Bytes body{0x01, 0x03, 0x04};
        body.resize(n - 2, 0x11);
        link->reply(with_crc(body));
        uint16_t values[2] = {7, 7};
        EXPECT_EQ(read_registers(0, 2, values), LINK_REPLY_FAULT) << int(n);
        EXPECT_EQ(values[0], 7);
    }
}

TEST_F(Requests, WriteRegisters) {
    const Bytes echo{0x01, 0x10, 0x01, 0x2C, 0x00, 0x02, 0x81, 0xFD};
    struct Case {
        const char* name;
        Bytes reply;
        int result;
    } cases[] = {
        {"echo", echo, LINK_OK},
        {"exception", {0x01, 0x90, 0x02, 0xCD, 0xC1}, LINK_EXCEPTION},
        {"exception from slave 2", with_crc({0x02, 0x90, 0x02}), LINK_REPLY_FAULT},
        {"exception to a read", {0x01, 0x83, 0x02, 0xC0, 0xF1}, LINK_REPLY_FAULT},
        {"echo of a read reply", read_reply(2), LINK_REPLY_FAULT},
        {"echo with a byte count", with_crc({0x01, 0x10, 0x01, 0x2C, 0x00, 0x02, 0x04}),
         LINK_REPLY_FAULT},
        {"no reply", {}, LINK_COMM_FAILURE},
    };
    std::vector<Case> all(std::begin(cases), std::end(cases));
    // An echo that differs from the request in any one of its six bytes.
    for (size_t i = 0; i < 6; ++i) {
        Bytes body(echo.begin(), echo.begin() + 6);
        body[i] ^= 0x01;
        all.push_back({"echo differing", with_crc(body), LINK_REPLY_FAULT});
    }
    const uint16_t values[2] = {1, 2};
    for (auto& c : all) {
        auto l = fake::Link::install();
        ASSERT_EQ(serial_open(), 1);
        l->reply(c.reply);
        l->reply(c.reply);
        EXPECT_EQ(write_registers(300, 2, values), c.result) << c.name;
        ASSERT_FALSE(l->requests.empty());
        EXPECT_EQ(l->requests[0], (Bytes{0x01, 0x10, 0x01, 0x2C, 0x00, 0x02, 0x04, 0x00, 0x01, 0x00,
                                         0x02, 0x2C, 0x73}))
            << c.name;
        serial_close();
    }
}

TEST_F(Requests, WriteSizes) {
    open();
    auto values = sample_values(128);
    // The largest write whose byte count fits its one byte.
    link->reply(with_crc({0x01, 0x10, 0x00, 0x00, 0x00, 0x7F}));
    EXPECT_EQ(write_registers(0, 127, values.data()), LINK_OK);
    ASSERT_EQ(link->requests.size(), 1u);
    EXPECT_EQ(link->requests[0].size(), 7u + 254 + 2);
    EXPECT_EQ(link->requests[0][6], 254);
    EXPECT_EQ(link->requests[0][7 + 2 * 126], 0x7F);
    // One more could only go out with a mangled byte count: it is not sent.
    EXPECT_EQ(write_registers(0, 128, values.data()), LINK_REPLY_FAULT);
    EXPECT_EQ(write_registers(0, 0xFFFF, values.data()), LINK_REPLY_FAULT);
    EXPECT_EQ(link->requests.size(), 1u);
}

struct Dump {
    uint8_t* data = nullptr;
    uint32_t length = 0;
    ~Dump() { g_free(data); }
};

TEST_F(Requests, EventDump) {
    Bytes image(EVENTS_LENGTH);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 7);
    auto sized = [&](size_t n) {
        Bytes b(n, 0x5A);
        std::copy_n(image.begin(), std::min(n, image.size()), b.begin());
        return b;
    };
    struct Case {
        const char* name;
        std::vector<fake::Arrival> script;
        int result;
        uint32_t length;
    } cases[] = {
        {"whole image",
         {burst(Bytes(image.begin(), image.begin() + 1000)),
          burst(Bytes(image.begin() + 1000, image.end()))},
         LINK_OK,
         EVENTS_LENGTH},
        {"one byte short", {burst(sized(EVENTS_LENGTH - 1))}, LINK_REPLY_FAULT, EVENTS_LENGTH - 1},
        {"one byte over", {burst(sized(EVENTS_LENGTH + 1))}, LINK_REPLY_FAULT, EVENTS_LENGTH + 1},
        {"beyond the buffer",
         {burst(sized(EVENTS_LIMIT + 5000))},
         LINK_REPLY_FAULT,
         uint32_t(EVENTS_LIMIT)},
        {"no answer", {}, LINK_COMM_FAILURE, 0},
        {"two bytes", {burst({0x01, 0x83})}, LINK_COMM_FAILURE, 0},
        {"read error", {burst(sized(5000)), fake::read_error()}, LINK_COMM_FAILURE, 0},
    };
    for (auto& c : cases) {
        auto l = fake::Link::install();
        ASSERT_EQ(serial_open(), 1);
        l->reply(c.script);
        l->reply(c.script);
        Dump d;
        std::vector<uint32_t> progress;
        auto observer = [](uint32_t received, void* data) {
            static_cast<std::vector<uint32_t>*>(data)->push_back(received);
        };
        EXPECT_EQ(read_events(&d.data, &d.length, observer, &progress), c.result) << c.name;
        EXPECT_EQ(d.length, c.length) << c.name;
        EXPECT_EQ(d.data != nullptr, c.result == LINK_OK) << c.name;
        if (d.data) {
            EXPECT_TRUE(std::equal(image.begin(), image.end(), d.data)) << c.name;
        }
        ASSERT_EQ(l->requests.size(), 1u) << c.name << ": a dump is never asked for twice";
        EXPECT_EQ(l->requests[0], (Bytes{0x01, 0x03, 0xFF, 0xE0, 0x00, 0x01, 0xB5, 0xE8}));
        EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end())) << c.name;
        if (c.result == LINK_OK) {
            EXPECT_EQ(progress.back(), EVENTS_LENGTH);
            EXPECT_EQ(l->timeouts_hit, std::vector<uint32_t>{1000}) << "ends on silence";
        }
        serial_close();
    }
}

TEST_F(Requests, WithoutADeviceNothingIsSent) {
    uint16_t values[2] = {};
    Dump d;
    EXPECT_EQ(read_registers(0, 2, values), LINK_COMM_FAILURE);
    EXPECT_EQ(write_registers(0, 2, values), LINK_COMM_FAILURE);
    EXPECT_EQ(read_events(&d.data, &d.length), LINK_COMM_FAILURE);
    EXPECT_EQ(d.data, nullptr);
    EXPECT_TRUE(link->requests.empty());
}

} // namespace
