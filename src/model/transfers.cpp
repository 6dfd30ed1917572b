#include "model/transfers.h"

#include "link/serial.h"

int read_identification(Link& link, Parameters& p) {
    uint16_t ident[IDENTIFICATION_COUNT];
    int result = link.read_registers(IDENTIFICATION_ADDRESS, IDENTIFICATION_COUNT, ident);
    if (result <= 0)
        return result;
    uint16_t w = ident[0];
    p.nrelays = w & 0x0F;
    p.options = (w & 0x10 ? OPTION_DNP3 : 0) | (w & 0x20 ? OPTION_EVENTS : 0);
    return LINK_OK;
}

int detect_variant(Link& link, const Variant** found) {
    uint16_t value = 0;
    int result = link.read_registers(200 + variant_rtd.general_count, 1, &value);
    if (result == LINK_OK || result == LINK_EXCEPTION) {
        *found = result == LINK_OK ? &variant_full : &variant_rtd;
        return LINK_OK;
    }
    return result;
}

int download_parameters(Link& link, Parameters& p, const BlockRead& done) {
    uint16_t buffer[MAX_REGISTERS];
    for (const Block& b : transfer_blocks(*p.variant, p.nrelays, p.options, true)) {
        // A read of no registers is no MODBUS request a controller accepts (0 relays).
        if (b.count == 0)
            continue;
        int result = link.read_registers(b.first, b.count, buffer);
        if (result <= 0)
            return result;
        for (int i = 0; i < b.count; ++i)
            p.set(b.first + i, buffer[i]);
        if (done)
            done(b);
    }
    return LINK_OK;
}

std::vector<BlockWrite> upload_writes(const Parameters& p) {
    std::vector<BlockWrite> writes;
    for (const Block& b : transfer_blocks(*p.variant, p.nrelays, p.options, true)) {
        bool open = false; // a run is being collected
        for (int address = b.first; address < b.first + b.count; ++address) {
            if (!in_map(*p.variant, address)) {
                open = false;
                continue;
            }
            if (!open)
                writes.push_back({static_cast<uint16_t>(address), {}});
            writes.back().values.push_back(p.value(address));
            open = true;
        }
    }
    return writes;
}
