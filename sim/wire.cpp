#include "wire.h"

#include <array>
#include <utility>

namespace sim {

std::optional<std::vector<uint8_t>> Framer::push(uint8_t byte) {
    if (buffer_.size() > MAX_FRAME)
        return std::nullopt; // noise: dropped until the line falls silent
    buffer_.push_back(byte);
    size_t n = buffer_.size();
    bool complete = false;
    if (n >= 2 && buffer_[1] == 3)
        complete = n == 8;
    else if (n >= 7 && buffer_[1] == 16)
        complete = n == 9u + buffer_[6];
    if (!complete)
        return std::nullopt;
    return std::exchange(buffer_, {});
}

std::vector<uint8_t> Framer::silence() {
    return std::exchange(buffer_, {});
}

namespace {

constexpr std::array<std::pair<Fault, const char*>, 14> NAMES{{
    {Fault::none, "none"},
    {Fault::no_reply, "no-reply"},
    {Fault::bad_crc, "bad-crc"},
    {Fault::stray_byte, "stray-byte"},
    {Fault::exception, "exception"},
    {Fault::short_reply, "short-reply"},
    {Fault::long_reply, "long-reply"},
    {Fault::wrong_slave, "wrong-slave"},
    {Fault::wrong_function, "wrong-function"},
    {Fault::wrong_count, "wrong-count"},
    {Fault::split, "split"},
    {Fault::short_dump, "short-dump"},
    {Fault::long_dump, "long-dump"},
    {Fault::hangup, "hangup"},
}};

// Replaces the frame's CRC after its content was altered: a fault with a CRC that fits.
std::vector<uint8_t> reseal(std::vector<uint8_t> frame) {
    frame.resize(frame.size() - 2);
    append_crc(frame);
    return frame;
}

} // namespace

std::optional<Fault> parse_fault(std::string_view name) {
    for (const auto& [fault, text] : NAMES)
        if (name == text)
            return fault;
    return std::nullopt;
}

const char* fault_name(Fault fault) {
    for (const auto& [f, text] : NAMES)
        if (f == fault)
            return text;
    return "?";
}

bool applies(Fault fault, const Answer& a) {
    if (a.kind == Answer::silent)
        return false;
    bool frame = a.kind == Answer::normal || a.kind == Answer::exception;
    switch (fault) {
    case Fault::none:
    case Fault::no_reply:
    case Fault::split:
    case Fault::hangup:
        return true;
    case Fault::short_dump:
    case Fault::long_dump:
        return a.kind == Answer::dump;
    case Fault::wrong_count:
        return a.kind == Answer::normal;
    default:
        return frame;
    }
}

Transmission transmit(const Answer& a, Fault fault) {
    Transmission t;
    if (a.kind == Answer::silent)
        return t;
    if (!applies(fault, a))
        fault = Fault::none;
    std::vector<uint8_t> bytes = a.bytes;
    switch (fault) {
    case Fault::none:
        break;
    case Fault::no_reply:
        return t;
    case Fault::bad_crc:
        bytes.back() ^= 0x5A;
        break;
    case Fault::stray_byte:
        bytes.push_back(0xA5);
        break;
    case Fault::exception:
        bytes = {bytes[0], static_cast<uint8_t>(a.function | 0x80), DEVICE_FAILURE};
        append_crc(bytes);
        break;
    case Fault::short_reply:
        bytes.erase(bytes.end() - 3);
        bytes = reseal(std::move(bytes));
        break;
    case Fault::long_reply:
        bytes.insert(bytes.end() - 2, 0x00);
        bytes = reseal(std::move(bytes));
        break;
    case Fault::wrong_slave:
        bytes[0] = static_cast<uint8_t>(bytes[0] % 247 + 1); // the next address, never ours
        bytes = reseal(std::move(bytes));
        break;
    case Fault::wrong_function:
        bytes[1] ^= 0x07;
        bytes = reseal(std::move(bytes));
        break;
    case Fault::wrong_count:
        if (a.function == 3)
            bytes[2] = static_cast<uint8_t>(bytes[2] + 2);
        else
            bytes[5] = static_cast<uint8_t>(bytes[5] + 1);
        bytes = reseal(std::move(bytes));
        break;
    case Fault::split:
    case Fault::hangup: {
        auto half = bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2);
        t.bursts.emplace_back(bytes.begin(), half);
        if (fault == Fault::hangup)
            t.hangup = true;
        else
            t.bursts.emplace_back(half, bytes.end());
        return t;
    }
    case Fault::short_dump:
        bytes.pop_back();
        break;
    case Fault::long_dump:
        bytes.push_back(0x00);
        break;
    }
    t.bursts.push_back(std::move(bytes));
    return t;
}

std::optional<MbapFramer::Request> MbapFramer::push(uint8_t byte) {
    if (broken_)
        return std::nullopt;
    buffer_.push_back(byte);
    if (buffer_.size() < 7)
        return std::nullopt;
    // The length counts the unit id and the PDU: a function code at least, 253 bytes at most.
    size_t length = static_cast<size_t>(buffer_[4] << 8 | buffer_[5]);
    if (buffer_[2] != 0 || buffer_[3] != 0 || length < 2 || length > 254) {
        broken_ = true;
        return std::nullopt;
    }
    if (buffer_.size() < 6 + length)
        return std::nullopt;
    Request r;
    r.header = {static_cast<uint16_t>(buffer_[0] << 8 | buffer_[1]), buffer_[6]};
    r.frame.assign(buffer_.begin() + 6, buffer_.end());
    append_crc(r.frame);
    buffer_.clear();
    return r;
}

Transmission gateway_transmit(const Answer& a, Fault fault, const MbapHeader& request) {
    bool cut = fault == Fault::split || fault == Fault::hangup;
    Transmission line = transmit(a, cut ? Fault::none : fault);
    std::vector<uint8_t> reply = line.bursts.empty() ? std::vector<uint8_t>{} : line.bursts[0];
    uint8_t unit = request.unit;
    std::vector<uint8_t> pdu{static_cast<uint8_t>(a.function | 0x80), GATEWAY_TARGET_FAILED};
    if (a.kind != Answer::dump && crc_ok(reply)) {
        unit = reply[0];
        pdu.assign(reply.begin() + 1, reply.end() - 2);
    }
    auto length = static_cast<uint16_t>(pdu.size() + 1);
    Answer out;
    out.kind = Answer::normal;
    // Reserved whole first: growing a 7-byte vector by insert trips g++ 12's bounds warning.
    out.bytes.reserve(7 + pdu.size());
    for (uint8_t b : {static_cast<uint8_t>(request.transaction >> 8),
                      static_cast<uint8_t>(request.transaction), uint8_t{0}, uint8_t{0},
                      static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length), unit})
        out.bytes.push_back(b);
    for (uint8_t b : pdu)
        out.bytes.push_back(b);
    return transmit(out, cut ? fault : Fault::none);
}

Fault FaultPlan::take(const Answer& answer) {
    if (kind_ == Fault::none || remaining_ == 0 || !applies(kind_, answer))
        return Fault::none;
    if (address_ && *address_ != answer.first)
        return Fault::none;
    if (skip_ > 0) {
        --skip_;
        return Fault::none;
    }
    if (remaining_ > 0)
        --remaining_;
    return kind_;
}

} // namespace sim
