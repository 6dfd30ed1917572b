#include "link/netport.h"
#include "base/gmem.h"

#include "link/crc16.h"

#include <cerrno>
#include <deque>
#include <gio/gio.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace bridge {

namespace {

constexpr uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr uint8_t COM_PORT_OPTION = 44;
constexpr uint8_t SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3, SET_STOPSIZE = 4;
constexpr uint16_t MODBUS_TCP_PORT = 502;

// A TCP connection: the socket's descriptor under FdPort's reads and writes (GIO made it
// non-blocking), the connection itself kept by GIO, which closes it.
class TcpPort : public FdPort {
  public:
    explicit TcpPort(GSocketConnection* c)
        : FdPort(g_socket_get_fd(g_socket_connection_get_socket(c))), connection_(c) {}
    ~TcpPort() override { TcpPort::close(); }
    FT_STATUS close() override {
        fd_ = -1;
        if (connection_) {
            g_io_stream_close(G_IO_STREAM(connection_), nullptr, nullptr);
            g_object_unref(connection_);
        }
        connection_ = nullptr;
        return FT_OK;
    }

  protected:
    // Sends all of `bytes` within the write timeout.
    bool send(const std::vector<uint8_t>& bytes) {
        uint32_t written = 0;
        return FdPort::write(bytes.data(), static_cast<uint32_t>(bytes.size()), &written) ==
                   FT_OK &&
               written == bytes.size();
    }

  private:
    GSocketConnection* connection_;
};

// A connection whose bytes must be taken apart before the engine sees them (telnet commands,
// MBAP headers): what arrives is decoded into `in_`, from which reads and the queue count are
// served.
class DecodingPort : public TcpPort {
  public:
    using TcpPort::TcpPort;

    FT_STATUS read(uint8_t* data, uint32_t count, uint32_t* got) override {
        *got = 0;
        auto deadline = Clock::now() + std::chrono::milliseconds(read_ms_);
        while (in_.size() < count) {
            Wait w = wait(POLLIN, deadline);
            if (w == Wait::Timeout)
                break;
            if (w == Wait::Failed || !pull())
                return FT_IO_ERROR;
        }
        while (*got < count && !in_.empty()) {
            data[(*got)++] = in_.front();
            in_.pop_front();
        }
        return FT_OK;
    }
    FT_STATUS queue_status(uint32_t* queued) override {
        *queued = 0;
        if (fd_ < 0)
            return FT_INVALID_HANDLE;
        pollfd p{fd_, POLLIN, 0};
        while (poll(&p, 1, 0) > 0 && (p.revents & POLLIN))
            if (!pull())
                return FT_IO_ERROR;
        *queued = static_cast<uint32_t>(in_.size());
        return FT_OK;
    }
    FT_STATUS purge(uint32_t mask) override {
        if (mask & FT_PURGE_RX) {
            uint32_t queued = 0;
            queue_status(&queued);
            in_.clear();
            restart();
        }
        return FT_OK;
    }

  protected:
    virtual void decode(const uint8_t* raw, size_t n) = 0;
    // Forgets a frame or a command decoded in part.
    virtual void restart() = 0;
    std::deque<uint8_t> in_;

  private:
    // Reads what the socket has and decodes it; false when the other side hung up.
    bool pull() {
        uint8_t raw[512];
        ssize_t n = ::read(fd_, raw, sizeof raw);
        if (n > 0)
            decode(raw, static_cast<size_t>(n));
        return n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR));
    }
};

// RFC 2217: data with the telnet command byte doubled, and the COM port control option that
// sets the remote line; its acknowledgements are not waited for (a server on a line without
// modem signals never sends some of them).
class Rfc2217Port final : public DecodingPort {
  public:
    explicit Rfc2217Port(GSocketConnection* c) : DecodingPort(c) {
        send({IAC, WILL, COM_PORT_OPTION});
    }
    FT_STATUS set_baud_rate(uint32_t baud) override {
        return option(SET_BAUDRATE,
                      {static_cast<uint8_t>(baud >> 24), static_cast<uint8_t>(baud >> 16),
                       static_cast<uint8_t>(baud >> 8), static_cast<uint8_t>(baud)});
    }
    FT_STATUS set_data_characteristics(uint8_t word_length, uint8_t stop_bits,
                                       uint8_t parity) override {
        // The option's codes: parity 1 none, 2 odd, 3 even; stop size 1 one, 2 two.
        uint8_t parity_code = parity == FT_PARITY_ODD ? 2 : parity == FT_PARITY_EVEN ? 3 : 1;
        if (option(SET_DATASIZE, {word_length}) != FT_OK ||
            option(SET_PARITY, {parity_code}) != FT_OK)
            return FT_IO_ERROR;
        return option(SET_STOPSIZE, {static_cast<uint8_t>(stop_bits == FT_STOP_BITS_2 ? 2 : 1)});
    }
    FT_STATUS write(const uint8_t* data, uint32_t count, uint32_t* written) override {
        std::vector<uint8_t> escaped;
        for (uint32_t i = 0; i < count; ++i) {
            escaped.push_back(data[i]);
            if (data[i] == IAC)
                escaped.push_back(IAC);
        }
        *written = send(escaped) ? count : 0;
        return *written == count ? FT_OK : FT_IO_ERROR;
    }

  private:
    FT_STATUS option(uint8_t command, std::vector<uint8_t> value) {
        std::vector<uint8_t> out{IAC, SB, COM_PORT_OPTION, command};
        for (uint8_t b : value) {
            out.push_back(b);
            if (b == IAC)
                out.push_back(IAC);
        }
        out.insert(out.end(), {IAC, SE});
        return send(out) ? FT_OK : FT_IO_ERROR;
    }
    void decode(const uint8_t* raw, size_t n) override {
        for (size_t i = 0; i < n; ++i) {
            uint8_t b = raw[i];
            switch (state_) {
            case State::data:
                if (b == IAC)
                    state_ = State::command;
                else
                    in_.push_back(b);
                break;
            case State::command:
                state_ = State::data;
                if (b == IAC)
                    in_.push_back(IAC);
                else if (b == SB)
                    state_ = State::sub;
                else if (b >= WILL && b <= DONT)
                    state_ = b == DO ? State::asked : State::told;
                break;
            case State::asked: // DO x: only the COM port option is ours to do
                if (b != COM_PORT_OPTION)
                    send({IAC, WONT, b});
                state_ = State::data;
                break;
            case State::told: // WILL, WONT, DONT x: nothing to answer
                state_ = State::data;
                break;
            case State::sub:
                if (b == IAC)
                    state_ = State::sub_command;
                break;
            case State::sub_command:
                state_ = b == SE ? State::data : State::sub;
                break;
            }
        }
    }
    void restart() override { state_ = State::data; }

    enum class State { data, command, asked, told, sub, sub_command } state_ = State::data;
};

// MODBUS TCP: each RTU frame written goes out as an MBAP frame (its CRC left off, the slave as
// the unit id), and each MBAP reply to it comes back as the RTU frame a line would carry.
class MbapPort final : public DecodingPort {
  public:
    using DecodingPort::DecodingPort;

    FT_STATUS write(const uint8_t* data, uint32_t count, uint32_t* written) override {
        *written = 0;
        if (count < 4)
            return FT_INVALID_PARAMETER;
        ++transaction_;
        uint32_t length = count - 2; // the unit id and the PDU
        std::vector<uint8_t> frame{
            static_cast<uint8_t>(transaction_ >> 8), static_cast<uint8_t>(transaction_), 0, 0,
            static_cast<uint8_t>(length >> 8),       static_cast<uint8_t>(length)};
        frame.insert(frame.end(), data, data + count - 2);
        if (!send(frame))
            return FT_IO_ERROR;
        *written = count;
        return FT_OK;
    }

  private:
    void decode(const uint8_t* raw, size_t n) override {
        frame_.insert(frame_.end(), raw, raw + n);
        while (frame_.size() >= 8) {
            size_t length = static_cast<size_t>(frame_[4] << 8 | frame_[5]);
            if (frame_.size() < 6 + length)
                return;
            uint16_t transaction = static_cast<uint16_t>(frame_[0] << 8 | frame_[1]);
            // A reply to an earlier request (one that timed out) is not this one's.
            if (transaction == transaction_ && frame_[2] == 0 && frame_[3] == 0 && length >= 2) {
                std::vector<uint8_t> rtu(frame_.begin() + 6, frame_.begin() + 6 + long(length));
                uint16_t crc = crc16_modbus(rtu.data(), static_cast<uint32_t>(rtu.size()));
                rtu.push_back(static_cast<uint8_t>(crc & 0xFF));
                rtu.push_back(static_cast<uint8_t>(crc >> 8));
                in_.insert(in_.end(), rtu.begin(), rtu.end());
            }
            frame_.erase(frame_.begin(), frame_.begin() + 6 + long(length));
        }
    }
    void restart() override { frame_.clear(); }

    std::vector<uint8_t> frame_;
    uint16_t transaction_ = 0;
};

OpenFailure::Kind failure_of(const GError* e) {
    if (e->domain == G_RESOLVER_ERROR)
        return OpenFailure::unresolved;
    if (e->domain != G_IO_ERROR)
        return OpenFailure::other;
    switch (e->code) {
    case G_IO_ERROR_CONNECTION_REFUSED:
        return OpenFailure::refused;
    case G_IO_ERROR_HOST_UNREACHABLE:
    case G_IO_ERROR_NETWORK_UNREACHABLE:
        return OpenFailure::unreachable;
    case G_IO_ERROR_TIMED_OUT:
        return OpenFailure::timed_out;
    case G_IO_ERROR_HOST_NOT_FOUND:
        return OpenFailure::unresolved;
    default:
        return OpenFailure::other;
    }
}

struct UriDeleter {
    void operator()(GUri* u) const { g_uri_unref(u); }
};

} // namespace

bool is_network(const std::string& where) {
    for (const char* scheme : {"tcp://", "rfc2217://", "modbus-tcp://"})
        if (where.starts_with(scheme))
            return true;
    return false;
}

bool is_modbus_tcp(const std::string& where) {
    return where.starts_with("modbus-tcp://");
}

FT_STATUS open_network(const std::string& url, uint32_t connect_ms, std::unique_ptr<Port>& port,
                       OpenFailure* why) {
    OpenFailure failure{OpenFailure::bad_address, url, ""};
    std::unique_ptr<GUri, UriDeleter> uri(g_uri_parse(url.c_str(), G_URI_FLAGS_NONE, nullptr));
    const char* host = uri ? g_uri_get_host(uri.get()) : nullptr;
    int number = uri ? g_uri_get_port(uri.get()) : -1;
    bool modbus_tcp = is_modbus_tcp(url);
    if (modbus_tcp && number < 0)
        number = MODBUS_TCP_PORT;
    if (!is_network(url) || !host || !*host || number <= 0 || number > 65535) {
        if (why)
            *why = failure;
        return FT_DEVICE_NOT_FOUND;
    }
    failure.where = std::string(host) + ":" + std::to_string(number);
    std::unique_ptr<GSocketClient, decltype(&g_object_unref)> client(g_socket_client_new(),
                                                                     &g_object_unref);
    g_socket_client_set_timeout(client.get(), (connect_ms + 999) / 1000);
    GError* error = nullptr;
    GSocketConnection* connection = g_socket_client_connect_to_host(
        client.get(), host, static_cast<guint16>(number), nullptr, &error);
    if (!connection) {
        failure.kind = failure_of(error);
        failure.detail = error->message;
        g_error_free(error);
        if (why)
            *why = failure;
        return FT_DEVICE_NOT_OPENED;
    }
    // Small frames go out at once, not held back to be joined with the next.
    g_socket_set_option(g_socket_connection_get_socket(connection), IPPROTO_TCP, TCP_NODELAY, 1,
                        nullptr);
    if (modbus_tcp)
        port = std::make_unique<MbapPort>(connection);
    else if (url.starts_with("rfc2217://"))
        port = std::make_unique<Rfc2217Port>(connection);
    else
        port = std::make_unique<TcpPort>(connection);
    return FT_OK;
}

} // namespace bridge
