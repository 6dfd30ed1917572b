#include "support/fake_bridge.h"

#include "link/crc16.h"

#include <algorithm>

Link controller;

namespace fake {

Bytes with_crc(Bytes frame) {
    uint16_t crc = crc16_modbus(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

namespace {

class Port final : public bridge::Port {
  public:
    explicit Port(std::shared_ptr<Link> link) : link_(std::move(link)) { ++link_->open_ports; }
    ~Port() override { --link_->open_ports; }

    FT_STATUS set_baud_rate(uint32_t baud) override {
        link_->baud = baud;
        return link_->check(Op::Baud);
    }
    FT_STATUS set_data_characteristics(uint8_t bits, uint8_t stop, uint8_t parity) override {
        link_->line = {bits, stop, parity};
        return link_->check(Op::Line);
    }
    FT_STATUS set_flow_control(uint16_t mode, uint8_t xon, uint8_t xoff) override {
        link_->flow = {mode, xon, xoff};
        return link_->check(Op::Flow);
    }
    FT_STATUS purge(uint32_t mask) override {
        if (FT_STATUS s = link_->check(Op::Purge))
            return s;
        link_->purge(mask);
        return FT_OK;
    }
    FT_STATUS set_timeouts(uint32_t read_ms, uint32_t write_ms) override {
        if (FT_STATUS s = link_->check(Op::Timeouts))
            return s;
        link_->timeouts_set.emplace_back(read_ms, write_ms);
        link_->read_timeout = read_ms;
        return FT_OK;
    }
    FT_STATUS write(const uint8_t* data, uint32_t count, uint32_t* written) override {
        if (FT_STATUS s = link_->check(Op::Write))
            return s;
        return link_->write(data, count, written);
    }
    FT_STATUS read(uint8_t* data, uint32_t count, uint32_t* got) override {
        if (FT_STATUS s = link_->check(Op::Read))
            return s;
        return link_->read(data, count, got);
    }
    FT_STATUS queue_status(uint32_t* queued) override {
        if (FT_STATUS s = link_->check(Op::Queue))
            return s;
        *queued = static_cast<uint32_t>(link_->rx.size());
        return FT_OK;
    }
    FT_STATUS close() override { return FT_OK; }

  private:
    std::shared_ptr<Link> link_;
};

} // namespace

std::shared_ptr<Link> Link::install() {
    auto link = std::make_shared<Link>();
    std::weak_ptr<Link> weak = link;
    bridge::set_opener([weak](const char* description, std::unique_ptr<bridge::Port>& port) {
        auto self = weak.lock();
        if (!self)
            return FT_DEVICE_NOT_FOUND;
        self->tried.emplace_back(description);
        if (FT_STATUS s = self->check(Op::Open))
            return s;
        if (!self->present.count(description))
            return FT_DEVICE_NOT_FOUND;
        port = std::make_unique<Port>(self);
        return FT_OK;
    });
    return link;
}

FT_STATUS Link::check(Op op) {
    int n = ++calls[op];
    auto it = failures.find(op);
    if (it != failures.end() && (it->second.first == 0 || it->second.first == n))
        return it->second.second;
    return FT_OK;
}

void Link::purge(uint32_t mask) {
    purges.push_back(mask);
    if (mask & FT_PURGE_RX) {
        rx.clear();
        if (!in_flight)
            pending.clear();
    }
    fresh = true;
}

FT_STATUS Link::write(const uint8_t* data, uint32_t count, uint32_t* written) {
    ++write_calls;
    if (fresh || requests.empty()) {
        fresh = false;
        requests.emplace_back();
        if (!in_flight)
            pending.clear();
        if (!scripts.empty()) {
            pending.insert(pending.end(), scripts.front().begin(), scripts.front().end());
            scripts.pop_front();
        }
    }
    uint32_t n = count;
    if (!write_caps.empty()) {
        n = std::min(n, write_caps.front());
        write_caps.pop_front();
    }
    requests.back().insert(requests.back().end(), data, data + n);
    *written = n;
    return FT_OK;
}

FT_STATUS Link::read(uint8_t* data, uint32_t count, uint32_t* got) {
    while (rx.size() < count) {
        if (pending.empty() ||
            (pending.front().kind == Arrival::Silence && pending.front().ms >= read_timeout)) {
            if (!pending.empty())
                pending.front().ms -= read_timeout;
            timeouts_hit.push_back(read_timeout);
            break;
        }
        Arrival a = std::move(pending.front());
        pending.pop_front();
        if (a.kind == Arrival::Error)
            return FT_IO_ERROR;
        if (a.kind == Arrival::Burst)
            rx.insert(rx.end(), a.bytes.begin(), a.bytes.end());
    }
    uint32_t n = std::min<uint32_t>(count, static_cast<uint32_t>(rx.size()));
    std::copy_n(rx.begin(), n, data);
    rx.erase(rx.begin(), rx.begin() + n);
    *got = n;
    return FT_OK;
}

} // namespace fake
