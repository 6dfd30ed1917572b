// What the device is reached over: a pseudo-terminal, as the tool sees a controller through
// KELVRA_PORT, or a TCP port on the loopback, as a serial device server or a MODBUS TCP gateway
// offers one to the network. Bytes in and out only: cutting them into requests is the server's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace sim {

class Line {
  public:
    virtual ~Line() = default;
    // The descriptor to poll for input and to write replies to.
    virtual int fd() const = 0;
    // After poll reported `revents` on fd(): reads what came into buf and returns how many
    // bytes; 0 when the event brought none (a client came or went).
    virtual size_t receive(short revents, uint8_t* buf, size_t size) = 0;
    // The device vanishes part way through a reply. False when it cannot come back.
    virtual bool hang_up() = 0;
    // Changes whenever a client's connection begins or ends, so that a partial request never
    // outlives the connection it came over.
    unsigned generation() const { return generation_; }

  protected:
    unsigned generation_ = 0;
};

// The device side of a pseudo-terminal. It keeps a slave descriptor of its own open, so the
// client may close and reopen the port without the master seeing a hang-up.
class Pty {
  public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    bool ok() const { return master_ >= 0; }
    int master() const { return master_; }
    const std::string& slave_path() const { return path_; }

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// A pseudo-terminal whose slave path is announced, one line, and linked from `link` when set.
// A hang-up replaces it with a new one, announced and linked in turn.
class PtyLine : public Line {
  public:
    PtyLine(std::string link, std::FILE* announce) : link_(std::move(link)), announce_(announce) {}
    ~PtyLine() override;
    bool open();
    int fd() const override { return pty_->master(); }
    size_t receive(short revents, uint8_t* buf, size_t size) override;
    bool hang_up() override { return open(); }

  private:
    std::unique_ptr<Pty> pty_;
    std::string link_;
    std::FILE* announce_;
};

// A TCP port on 127.0.0.1 serving one client at a time; the next waits in the backlog until the
// current one goes. Announces "tcp://127.0.0.1:PORT", one line. A hang-up drops the client.
class TcpLine : public Line {
  public:
    TcpLine() = default;
    ~TcpLine() override;
    TcpLine(const TcpLine&) = delete;
    TcpLine& operator=(const TcpLine&) = delete;
    // Listens on `port` (0: a free one).
    bool open(int port, std::FILE* announce);
    int fd() const override { return client_ >= 0 ? client_ : listener_; }
    size_t receive(short revents, uint8_t* buf, size_t size) override;
    bool hang_up() override;

  private:
    int listener_ = -1;
    int client_ = -1;
};

} // namespace sim
