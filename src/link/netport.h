// The network transports behind the port seam: a serial device server that forwards raw RTU
// frames (tcp://HOST:PORT), the same with the telnet COM port control option so the remote
// port's line is set from here (rfc2217://HOST:PORT), and a MODBUS TCP gateway
// (modbus-tcp://HOST:PORT), whose MBAP frames are turned into RTU frames and back, so the engine
// above sees one kind of line whatever the way.
#pragma once

#include "link/bridge.h"

#include <string>

namespace bridge {

// Whether `where` names a network transport (a URL of one of the three kinds).
bool is_network(const std::string& where);
// Whether the transport carries MODBUS TCP, which has no room for the event memory dump.
bool is_modbus_tcp(const std::string& where);

// Connects to a transport URL within connect_ms.
FT_STATUS open_network(const std::string& url, uint32_t connect_ms, std::unique_ptr<Port>& port,
                       OpenFailure* why);

} // namespace bridge
