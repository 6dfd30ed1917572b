// The transfers that walk the parameter blocks over the link: identification, download and
// upload of a Parameters. Each returns the link result code of the request that ended it.
#pragma once

#include "link/serial.h"
#include "model/parameters.h"

#include <functional>

// Reads the identification block into p.nrelays and p.options; on a failure both stay as they
// were.
int read_identification(Link& link, Parameters& p);

// Which variant the controller is, told by its registers: the RTD-only variant has no general
// registers from 205 on, and refuses a read of them. LINK_OK with *found set, or the code of a
// read that failed otherwise.
int detect_variant(Link& link, const Variant** found);

// Told after each block has been read into the parameters.
using BlockRead = std::function<void(const Block& block)>;
// Reads every transfer block of p's layout into p, the clock last. The blocks before a failed
// one keep their values.
int download_parameters(Link& link, Parameters& p, const BlockRead& done = {});

// One write request of an upload.
struct BlockWrite {
    uint16_t first;
    std::vector<uint16_t> values;
};
// The writes of an upload, in transfer order: each block, as runs of registers that the map
// has. Relays beyond those the map has keep what the controller holds.
std::vector<BlockWrite> upload_writes(const Parameters& p);
