// report/: the commissioning report, one PDF for the customer to sign: what the controller is
// and how it was reached, every setting as the window groups it with the SHA-256 of the
// configuration file, the last upload's read-back and changes, and the plot of the latest
// event download, both from the asset's history. Drawn with cairo. It uses model, history,
// plot and the words below them; the front ends read the controller and hand it here.
#pragma once

#include "history/history.h"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

// What a report is of: the controller as just read, and who read it how.
struct ReportSubject {
    Parameters settings; // as read, its clock included; its variant is the controller's
    Asset asset;         // an empty key: no history is kept of it
    int slave = 1;
    uint32_t baud = 0;
    std::string engineer;
    std::time_t made = 0;
    std::string tool; // program and version
};

// The engineer named when none is given: the user's real name, else the login name.
std::string default_engineer();
// The SHA-256 of the configuration file of p as it is saved, in lowercase hex.
std::string settings_sha256(const Parameters& p);
// The report as an A4 PDF into `out`; `history` may be null (the report then says so). False
// when a byte could not be written.
bool write_report(FILE* out, const ReportSubject& subject, const History* history);
