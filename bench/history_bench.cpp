// history_bench: the history of controllers at the size of a large fleet, 500 assets of 20
// versions each (10,000 commits) in a temporary folder. Reports, never asserts, as best and
// median of a few rounds:
//   - building it with History::record (once, its time printed),
//   - History::versions(key), as `kelvra-cli history ASSET` runs it, for an asset whose versions
//     are spread over the whole history and for one whose versions were all recorded first,
//   - one History::record on that history (the commit of a download), and kelvra-cli download
//     against kelvra-sim at 115200 baud with that history, next to the same download without
//     one (--no-history -o FILE),
//   - History::sync with nothing new, against a bare remote that already has it all,
//   - an event download merged into an asset that holds ten (35,840 records), and that asset's
//     merged records read back, as the viewer and `events ASSET` read them.
// No display needed: history_bench [--rounds N] [--assets N] [--versions N]
#include "device.h"
#include "history/history.h"
#include "processes.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

struct Times {
    double best, median;
    bool ok;
};

// `rounds` runs of `once`, which tells whether it succeeded.
Times timed(int rounds, const std::function<bool()>& once) {
    std::vector<double> times;
    bool ok = true;
    for (int i = 0; i < rounds; ++i) {
        auto start = Clock::now();
        ok = once() && ok;
        times.push_back(seconds(Clock::now() - start));
    }
    std::sort(times.begin(), times.end());
    return {times.front(), times[times.size() / 2], ok};
}

void report(const char* what, const Times& t, const char* note = "") {
    std::printf("%-44s best %9.2f ms   median %9.2f ms%s%s\n", what, t.best * 1000, t.median * 1000,
                t.ok ? "" : "   FAILED", note);
}

// An asset's settings at a version: the simulator's own, a set point changed per version and
// another per asset, so that every version changes the asset's files.
Parameters settings(const sim::Device& device, int asset, int version) {
    Parameters p;
    p.nrelays = 14;
    p.options = OPTION_EVENTS;
    for (uint16_t a : config_addresses(variant_full, p.nrelays, p.options))
        p.set(a, device.reg(a));
    p.set(0, static_cast<uint16_t>(60 + version % 100)); // Set Point (°C) 1
    p.set(1, static_cast<uint16_t>(60 + asset % 100));   // Set Point (°C) 2
    return p;
}

std::string key_of(int asset) {
    char key[16];
    std::snprintf(key, sizeof key, "T%03d", asset);
    return key;
}

} // namespace

int main(int argc, char** argv) {
    int rounds = 5, assets = 500, versions = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        int n = std::max(1, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = n;
        else if (std::strcmp(argv[i], "--assets") == 0)
            assets = std::max(2, n);
        else if (std::strcmp(argv[i], "--versions") == 0)
            versions = n;
    }
    char dir[] = "/tmp/history-bench-XXXXXX";
    if (!mkdtemp(dir)) {
        std::perror("history_bench: mkdtemp");
        return 1;
    }
    const std::string top = dir, path = top + "/history", remote = top + "/remote.git";
    std::string error;
    std::unique_ptr<History> history = History::open(path, &error);
    if (!history) {
        std::fprintf(stderr, "history_bench: %s\n", error.c_str());
        return 1;
    }
    sim::Device device(sim::DeviceConfig{});
    auto record = [&](int asset, int version) {
        Asset a{key_of(asset), "", "/dev/ttyUSB0"};
        return !history->record(a, settings(device, asset, version), "download " + a.key, &error)
                    .empty();
    };

    // The first asset's versions all come first; the others' are interleaved, one version of
    // each asset in turn, so the last asset's are spread over the whole history.
    const std::string old_key = key_of(0), spread_key = key_of(assets - 1);
    const int commits = assets * versions;
    auto start = Clock::now();
    bool built = true;
    for (int v = 0; v < versions && built; ++v)
        built = record(0, v);
    for (int v = 0; v < versions && built; ++v)
        for (int a = 1; a < assets && built; ++a)
            built = record(a, v);
    double build = seconds(Clock::now() - start);
    if (!built) {
        std::fprintf(stderr, "history_bench: %s\n", error.c_str());
        std::filesystem::remove_all(top);
        return 1;
    }
    std::printf("%-44s %9.1f s   (%d assets x %d versions, %.2f ms a commit)\n",
                "building the history with record", build, assets, versions,
                build * 1000 / commits);

    // history ASSET: the walk reads every commit of the history whichever the asset.
    size_t found = 0;
    char what[96];
    for (const std::string& key : {spread_key, old_key}) {
        Times t = timed(rounds, [&] { return (found = history->versions(key).size()) > 0; });
        std::snprintf(what, sizeof what, "versions(%s), %s", key.c_str(),
                      key == old_key ? "all recorded first" : "spread over all");
        std::snprintf(what + std::strlen(what), sizeof what - std::strlen(what), " (%zu)", found);
        report(what, t);
    }
    Times all = timed(rounds, [&] { return (found = history->versions("").size()) > 0; });
    std::snprintf(what, sizeof what, "versions(\"\"), every version (%zu)", found);
    report(what, all);

    // A download's commit on the big history: one more version of an asset in the middle.
    int v = versions;
    report("record, one version", timed(rounds, [&] { return record(assets / 2, v++); }));

    // The whole command against the simulator, with the history and without one.
    const std::string cli = KELVRA_BINARY_DIR "/kelvra-cli";
    bench::Simulator sim(KELVRA_BINARY_DIR "/kelvra-sim", {"--baud", "115200"});
    const std::string& link = sim.port();
    if (sim.ready()) {
        Times kept = timed(rounds, [&] {
            return bench::run({cli, "--port", link, "--asset", key_of(assets / 2), "--history",
                               path, "download"});
        });
        Times plain = timed(rounds, [&] {
            return bench::run(
                {cli, "--port", link, "--no-history", "-o", top + "/plain.cfg", "download"});
        });
        report("kelvra-cli download, with the history", kept);
        report("kelvra-cli download --no-history -o FILE", plain);
        std::printf("%-44s best %9.3f      median %9.3f\n", "  with history / without",
                    kept.best / plain.best, kept.median / plain.median);
    } else {
        std::printf("%-44s (kelvra-sim did not start)\n", "kelvra-cli download: skipped");
    }

    // sync with nothing new: the remote has had it all from the first sync.
    std::string said;
    bool remote_ok =
        bench::run({"/usr/bin/env", "git", "init", "-q", "--bare", remote}) &&
        bench::run({"/usr/bin/env", "git", "-C", path, "remote", "add", "origin", remote});
    start = Clock::now();
    bool pushed = remote_ok && history->sync(&said) == History::SyncResult::done;
    std::printf("%-44s %9.1f ms   %s\n", "sync, first push of it all",
                seconds(Clock::now() - start) * 1000, pushed ? "" : said.c_str());
    if (pushed)
        report("sync, nothing new",
               timed(rounds, [&] { return history->sync(&said) == History::SyncResult::done; }));

    // Ten downloads of a full memory, a month apart, then an eleventh that repeats the last.
    const std::vector<uint8_t>& image = device.event_image();
    std::vector<EventRecord> one = dump_records(image.data(), image.size());
    Asset logger{"events-asset", "", ""};
    EventFileHeader about;
    about.relays = 14;
    auto download = [&](int n) {
        std::vector<EventRecord> shifted = one;
        for (EventRecord& r : shifted)
            r.timestamp += static_cast<uint64_t>(n) * 30 * 86400000ULL;
        return shifted;
    };
    for (int n = 0; n < 10; ++n)
        history->record_events(logger, about, download(n), "events", &error);
    std::vector<EventRecord> merged;
    report("record_events, a download into ten", timed(rounds, [&] {
               return !history->record_events(logger, about, download(9), "events", &error).empty();
           }));
    Times read =
        timed(rounds, [&] { return history->events(logger.key, "HEAD", &about, &merged, &error); });
    std::snprintf(what, sizeof what, "events(HEAD), the merged records (%zu)", merged.size());
    report(what, read);
    history.reset();
    std::filesystem::remove_all(top);
    return 0;
}
