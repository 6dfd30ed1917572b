// history/: every controller an asset with a history. A git repository, written through libgit2,
// one folder per asset: its settings as a configuration file and as readable lines, and what
// it is; one commit per transfer. Plain git reads it. It uses the model, the file formats and
// the words below it; the front ends use it.
#pragma once

#include "formats/eventcsv.h"
#include "model/parameters.h"

#include <memory>
#include <string>
#include <vector>

struct git_repository;

// What the history keeps of an asset besides its settings.
struct Asset {
    std::string key;     // the folder's name: --asset, else the bridge's USB serial number
    std::string serial;  // the USB serial number, when reached over USB
    std::string reached; // the port or URL it was reached by
};

// The asset reached through the port or URL `opened`: named `name`, else by its USB bridge's
// serial number; an empty key when it has neither (a pseudo-terminal, a server).
Asset asset_reached(const std::string& name, const std::string& opened);

struct Version {
    std::string rev;  // the commit's id, abbreviated
    std::string date; // ISO 8601, local time
    std::string author;
    std::string message; // its first line
    std::string body;    // what follows the first line and the blank line after it
};

class History {
  public:
    // The history's folder: `dir` when given, else KELVRA_HISTORY, else
    // $XDG_DATA_HOME/kelvra/history.
    static std::string folder(const char* dir = nullptr);
    // Opens the repository in `dir`, creating it on first use. Null, with *error naming the path
    // and the reason, when it cannot be used (a file in the way, a damaged repository); such a
    // place is never rewritten.
    static std::unique_ptr<History> open(const std::string& dir, std::string* error);
    ~History();
    History(const History&) = delete;
    History& operator=(const History&) = delete;

    // A new version of the asset: its files written whole, then one commit with `message`. The
    // abbreviated commit id, or empty with *error. Cut short, the previous version stays.
    std::string record(const Asset& asset, const Parameters& p, const std::string& message,
                       std::string* error);
    // The asset's settings at a revision (a hash, its prefix, or anything git takes: HEAD~2)
    // into p, its variant and layout with them; *commit gets the version's abbreviated id.
    // False with *error.
    bool load(const std::string& key, const std::string& rev, Parameters& p, std::string* commit,
              std::string* error) const;
    // A version with the records of an event download merged into the asset's events.csv, each
    // written record once, in the layout that explains itself. `about` says what the records
    // are of; the asset and the latest download's range are filled in here.
    std::string record_events(const Asset& asset, EventFileHeader about,
                              const std::vector<EventRecord>& downloaded,
                              const std::string& message, std::string* error);
    // The asset's merged event records at a revision ("HEAD": the latest). False with *error.
    bool events(const std::string& key, const std::string& rev, EventFileHeader* header,
                std::vector<EventRecord>* records, std::string* error) const;
    // The versions that changed the asset's folder (all versions for an empty key), newest
    // first.
    std::vector<Version> versions(const std::string& key) const;
    const std::string& path() const { return path_; }

    enum class SyncResult { done, no_remote, unreachable, failed };
    // Fetches from the remote "origin", merges and pushes. Assets changed on one side only merge
    // as they are; an asset changed on both keeps both versions in the history (a merge
    // commit) and the later by its read time is the current one. *said tells what happened.
    SyncResult sync(std::string* said);

  private:
    History(git_repository* repo, std::string path);
    // Writes the files whole into the asset's folder, then commits them.
    std::string commit_files(const std::string& key,
                             const std::vector<std::pair<const char*, std::string>>& files,
                             const std::string& message, std::string* error);
    // The text of a file of the asset's folder at a revision; false when it has none.
    bool blob_text(const std::string& rev, const std::string& key, const char* file,
                   std::string* text) const;
    git_repository* repo_;
    std::string path_;
};

// The settings as lines for people and for git diff: section, parameter, value and unit, one
// per register of the file, in transfer order, in no particular language's words but the
// description's own.
std::string settings_text(const Parameters& p);
// "Set Point (°C) 1 80 -> 81, Line Frequency 50 Hz -> 60 Hz": what a change did, for a
// commit message (the first few; "and N more").
std::string changes_summary(const Parameters& before, const Parameters& after);

// The paragraph an upload's version gives after its first line: what the read-back found of
// the values written (`kept`: ours written, theirs kept), in the description's own words.
constexpr const char* READ_BACK_AS_WRITTEN = "Read back: every value as written.";
constexpr const char* READ_BACK_KEPT = "Read back: the controller kept other values: ";
std::string read_back_text(const Variant& v, const std::vector<Difference>& kept);

// What a controller's event records are, for their file: the tool, the asset, the controller's
// variant and relays, and the computer's offset from UTC now.
EventFileHeader events_about(const Parameters& p, const Asset& asset, const std::string& tool);

// asset.json's read time (ISO 8601, UTC) in its text; empty when it has none.
std::string read_time(const std::string& asset_json);
