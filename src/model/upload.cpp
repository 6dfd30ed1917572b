#include "model/upload.h"

#include "link/serial.h"
#include "text/messages.h"

#include <algorithm>

namespace {

int transferred_relays(int nrelays) {
    return std::min(nrelays, RELAYS_BOUND);
}

const char* port_name(int options) {
    return (options & OPTION_DNP3) ? "DNP3" : "MODBUS";
}

UploadResult failed(UploadResult r, int link_result) {
    r.status = UploadStatus::link_failed;
    r.link_result = link_result;
    if (r.written > 0)
        r.message = partial_upload_text(r.written, r.plan.writes.size());
    return r;
}

UploadResult refused(UploadResult r, std::string message) {
    r.status = UploadStatus::refused;
    r.message = std::move(message);
    return r;
}

bool changes_something(const BlockWrite& w, const Parameters& device) {
    for (size_t i = 0; i < w.values.size(); ++i) {
        int address = w.first + static_cast<int>(i);
        if (!device.has(address) || device.value(address) != w.values[i])
            return true;
    }
    return false;
}

} // namespace

UploadResult upload_to_controller(Link& link, const Parameters& values,
                                  const UploadOptions& options) {
    UploadResult r;
    Parameters device;
    device.variant = values.variant;
    const Variant* found = nullptr;
    int result = read_identification(link, device);
    if (result > 0)
        result = detect_variant(link, &found);
    if (result <= 0)
        return failed(r, result);
    int relays = transferred_relays(device.nrelays);
    if (found != values.variant || relays != transferred_relays(values.nrelays) ||
        (device.options & OPTION_DNP3) != (values.options & OPTION_DNP3))
        return refused(r, layout_mismatch_text(options.from_file, values.variant->program,
                                               transferred_relays(values.nrelays),
                                               port_name(values.options), found->program, relays,
                                               port_name(device.options)));
    // From here on the values are taken in the controller's layout, which they match.
    Parameters checked = values;
    checked.nrelays = device.nrelays;
    checked.options = device.options;
    std::vector<Parameter> map = parameter_map(*checked.variant);
    int missing = first_missing(checked);
    if (missing >= 0)
        return refused(r, undefined_text(find_parameter(map, missing)->label.c_str()));
    r.faults = value_faults(checked, map);
    if (!r.faults.empty()) {
        for (const ValueFault& f : r.faults)
            r.lines.push_back(value_fault_text(f.param->label.c_str(),
                                               value_text(*f.param, f.value).c_str(),
                                               allowed_text(*f.param, checked.nrelays).c_str()));
        return refused(r, value_faults_text(r.faults.size()));
    }

    result = download_parameters(link, device);
    if (result <= 0)
        return failed(r, result);
    r.plan.changes = differences(checked, device, checked.nrelays, checked.options);
    // The clock keeps its rule: it is always set.
    for (BlockWrite& w : upload_writes(checked))
        if (options.all || w.first == CLOCK_BLOCK.first || changes_something(w, device))
            r.plan.writes.push_back(std::move(w));
    if (options.confirm && !options.confirm(r.plan)) {
        r.status = UploadStatus::cancelled;
        return r;
    }
    r.before = device;
    if (std::string why; options.before_write && !options.before_write(device, &why))
        return refused(r, why);

    for (const BlockWrite& w : r.plan.writes) {
        result =
            link.write_registers(w.first, static_cast<uint16_t>(w.values.size()), w.values.data());
        if (result <= 0)
            return failed(r, result);
        ++r.written;
    }
    Parameters kept;
    kept.variant = checked.variant;
    uint16_t buffer[MAX_REGISTERS];
    for (const BlockWrite& w : r.plan.writes) {
        if (w.first == CLOCK_BLOCK.first) // it runs on
            continue;
        auto count = static_cast<uint16_t>(w.values.size());
        result = link.read_registers(w.first, count, buffer);
        if (result <= 0)
            return failed(r, result);
        for (uint16_t i = 0; i < count; ++i)
            kept.set(w.first + i, buffer[i]);
    }
    // Only what was written counts: the registers read back.
    r.after = checked;
    for (const Difference& d : differences(checked, kept, checked.nrelays, checked.options))
        if (d.theirs_known) {
            r.kept.push_back(d);
            r.after.set(d.address, d.theirs);
        }
    r.status = r.kept.empty() ? UploadStatus::done : UploadStatus::kept_other;
    return r;
}
