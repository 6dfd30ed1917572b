// The one way parameters reach a controller, whatever the front end: identify it, refuse values
// of another variant or layout, values missing or out of range, read what it holds, plan only
// the writes that change something, let the front end confirm, write, read back.
#pragma once

#include "model/transfers.h"

#include <functional>
#include <string>

struct UploadPlan {
    std::vector<Difference> changes; // ours: to be written; theirs: the controller now
    std::vector<BlockWrite> writes;  // in transfer order, the clock last
};

enum class UploadStatus {
    done,        // written, and read back as written
    kept_other,  // written, but the controller kept other values (`kept`)
    cancelled,   // the front end declined the plan; nothing written
    refused,     // nothing written: `message` says why
    link_failed, // a request failed (`link_result`); `written` writes were done before it
};

struct UploadResult {
    UploadStatus status = UploadStatus::done;
    int link_result = 1;
    std::string message;            // refused: why; link_failed after a write: what was done
    std::vector<std::string> lines; // refused for values: one line per value
    std::vector<ValueFault> faults; // refused for values: the values themselves
    UploadPlan plan;
    size_t written = 0;
    std::vector<Difference> kept; // ours: written; theirs: what the controller kept
    Parameters before, after;     // the controller's settings before the writes and after them
};

struct UploadOptions {
    // Where the values come from, for the refusal that names both layouts.
    bool from_file = false;
    // Every block, not only those that differ.
    bool all = false;
    // Told the plan before any write; false cancels. None: go ahead.
    std::function<bool(const UploadPlan&)> confirm;
    // Given what the controller holds, just before the first write (a backup is kept there);
    // false refuses the upload with the message it sets.
    std::function<bool(const Parameters& held, std::string* message)> before_write;
};

// Uploads `values` (their variant, relay count and option bits are the layout they are for) to
// the controller open on `link`.
UploadResult upload_to_controller(Link& link, const Parameters& values,
                                  const UploadOptions& options);
