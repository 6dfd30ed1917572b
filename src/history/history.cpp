#include "history/history.h"
#include "base/gmem.h"

#include "formats/eventcsv.h"
#include "formats/eventlog.h"
#include "formats/safefile.h"
#include "link/serial.h"

#include <algorithm>
#include <git2.h>
#include <glib/gstdio.h>
#include <json-glib/json-glib.h>
#include <map>
#include <sys/stat.h>

namespace {

constexpr const char* HISTORY_BRANCH = "main";

std::string git_failure() {
    const git_error* e = git_error_last();
    return e && e->message ? e->message : "libgit2 failed";
}

// A folder name from a key: letters, digits, '.', '-' and '_'; nothing that climbs or hides.
std::string folder_name(const std::string& key) {
    std::string out(key.empty() || key[0] == '.' ? 1 : 0, '_');
    for (char c : key)
        out += g_ascii_isalnum(c) || c == '-' || c == '_' || c == '.' ? c : '_';
    return out;
}

// A parameter's name and a value in the description's own words, whatever the locale.
std::string plain_label(const Parameter& p) {
    size_t dot = p.id.find('.');
    if (dot == std::string::npos)
        return p.def->label;
    char text[256];
    g_snprintf(text, sizeof text, p.def->label.c_str(), std::atoi(p.id.c_str() + dot + 1));
    return text;
}

std::string plain_value(const Parameter& p, uint16_t value) {
    const std::vector<Choice>& rows = choice_list(p.def->choices);
    if (p.kind == REGISTER_COMBO_BOX && value < rows.size())
        return rows[value].label.empty() ? rows[value].id : rows[value].label;
    std::string shown = value_text(p, value);
    return p.def->unit.empty() ? shown : shown + " " + p.def->unit;
}

bool write_whole(const std::string& path, const std::string& text, std::string* error) {
    SafeFile out(path.c_str());
    if (out.stream() && std::fputs(text.c_str(), out.stream()) >= 0 && out.commit())
        return true;
    *error = path + ": " + g_strerror(out.error() ? out.error() : EIO);
    return false;
}

std::string asset_json(const Asset& a, const Parameters& p) {
    std::unique_ptr<JsonBuilder, decltype(&g_object_unref)> b(json_builder_new(), &g_object_unref);
    json_builder_begin_object(b.get());
    for (auto [name, value] : {std::pair{"key", a.key},
                               {"serial", a.serial},
                               {"variant", std::string(p.variant->program)},
                               {"reached", a.reached}}) {
        json_builder_set_member_name(b.get(), name);
        json_builder_add_string_value(b.get(), value.c_str());
    }
    // When the settings were read: a version changed on two machines keeps the later one.
    GDateTime* now = g_date_time_new_now_utc();
    GCharPtr read(g_date_time_format(now, "%Y-%m-%dT%H:%M:%S.%fZ"));
    g_date_time_unref(now);
    json_builder_set_member_name(b.get(), "read");
    json_builder_add_string_value(b.get(), read.get());
    json_builder_set_member_name(b.get(), "relays");
    json_builder_add_int_value(b.get(), p.nrelays);
    json_builder_set_member_name(b.get(), "options");
    json_builder_add_int_value(b.get(), p.options);
    json_builder_end_object(b.get());
    std::unique_ptr<JsonNode, decltype(&json_node_unref)> root(json_builder_get_root(b.get()),
                                                               &json_node_unref);
    std::unique_ptr<JsonGenerator, decltype(&g_object_unref)> g(json_generator_new(),
                                                                &g_object_unref);
    json_generator_set_pretty(g.get(), TRUE);
    json_generator_set_root(g.get(), root.get());
    return GCharPtr(json_generator_to_data(g.get(), nullptr)).get() + std::string("\n");
}

// The author: git's own configuration, else the login name at this host.
git_signature* author(git_repository* repo) {
    git_signature* s = nullptr;
    if (git_signature_default(&s, repo) == 0)
        return s;
    std::string email = std::string(g_get_user_name()) + "@" + g_get_host_name();
    if (git_signature_now(&s, g_get_user_name(), email.c_str()) == 0)
        return s;
    return nullptr;
}

template <typename T, void (*Free)(T*)> struct Git {
    T* p = nullptr;
    ~Git() {
        if (p)
            Free(p);
    }
};

} // namespace

std::string settings_text(const Parameters& p) {
    std::vector<Parameter> map = parameter_map(*p.variant);
    std::string out;
    for (uint16_t a : config_addresses(*p.variant, p.nrelays, p.options)) {
        const Parameter* param = find_parameter(map, a);
        if (!param || !p.has(a))
            continue;
        out += param->def->section + " | " + plain_label(*param) + " | " +
               plain_value(*param, p.value(a)) + "\n";
    }
    return out;
}

std::string changes_summary(const Parameters& before, const Parameters& after) {
    std::vector<Parameter> map = parameter_map(*after.variant);
    std::vector<Difference> found = differences(after, before, after.nrelays, after.options);
    std::string out;
    size_t shown = 0;
    for (const Difference& d : found) {
        const Parameter* p = find_parameter(map, d.address);
        if (!p)
            continue;
        if (shown == 3) {
            out += ", and " + std::to_string(found.size() - shown) + " more";
            break;
        }
        out += (shown++ ? ", " : "") + plain_label(*p) + " " +
               (d.theirs_known ? plain_value(*p, d.theirs) : "-") + " -> " +
               (d.ours_known ? plain_value(*p, d.ours) : "-");
    }
    return out.empty() ? "no change" : out;
}

std::string read_back_text(const Variant& v, const std::vector<Difference>& kept) {
    if (kept.empty())
        return READ_BACK_AS_WRITTEN;
    std::vector<Parameter> map = parameter_map(v);
    std::string out = READ_BACK_KEPT;
    for (const Difference& d : kept) {
        const Parameter* p = find_parameter(map, d.address);
        if (!p)
            continue;
        if (&d != &kept.front())
            out.append("; ");
        out.append(plain_label(*p))
            .append(" written ")
            .append(d.ours_known ? plain_value(*p, d.ours) : "-")
            .append(", kept ")
            .append(d.theirs_known ? plain_value(*p, d.theirs) : "-");
    }
    return out.append(".");
}

Asset asset_reached(const std::string& name, const std::string& opened) {
    Asset a{name, "", opened};
    for (const bridge::UsbTty& t : attached_bridges())
        if (t.path == opened)
            a.serial = t.serial;
    if (a.key.empty())
        a.key = a.serial;
    return a;
}

std::string History::folder(const char* dir) {
    if (dir && *dir)
        return dir;
    if (const char* set = g_getenv("KELVRA_HISTORY"); set && *set)
        return set;
    return GCharPtr(g_build_filename(g_get_user_data_dir(), "kelvra", "history", nullptr)).get();
}

std::unique_ptr<History> History::open(const std::string& dir, std::string* error) {
    static int once = git_libgit2_init();
    (void)once;
    struct stat st {};
    bool exists = stat(dir.c_str(), &st) == 0;
    if (exists && !S_ISDIR(st.st_mode)) {
        *error = dir + ": " + g_strerror(ENOTDIR);
        return nullptr;
    }
    git_repository* repo = nullptr;
    if (exists && git_repository_open(&repo, dir.c_str()) == 0)
        return std::unique_ptr<History>(new History(repo, dir));
    // Only an empty or new folder becomes a history: anything else there is someone's.
    GDir* listing = exists ? g_dir_open(dir.c_str(), 0, nullptr) : nullptr;
    bool empty = !listing || !g_dir_read_name(listing);
    if (listing)
        g_dir_close(listing);
    if (exists && !empty) {
        *error = dir + ": not a history (a git repository), and not empty";
        return nullptr;
    }
    if (g_mkdir_with_parents(dir.c_str(), 0755) != 0) {
        *error = dir + ": " + g_strerror(errno);
        return nullptr;
    }
    // One branch name for every history, whatever each machine's git prefers, so they meet.
    git_repository_init_options init = GIT_REPOSITORY_INIT_OPTIONS_INIT;
    init.flags = GIT_REPOSITORY_INIT_MKPATH;
    init.initial_head = HISTORY_BRANCH;
    if (git_repository_init_ext(&repo, dir.c_str(), &init) != 0) {
        *error = dir + ": " + git_failure();
        return nullptr;
    }
    return std::unique_ptr<History>(new History(repo, dir));
}

History::History(git_repository* repo, std::string path) : repo_(repo), path_(std::move(path)) {}

History::~History() {
    git_repository_free(repo_);
}

std::string History::record(const Asset& asset, const Parameters& p, const std::string& message,
                            std::string* error) {
    return commit_files(asset.key,
                        {{"config.cfg", config_text(p)},
                         {"settings.txt", settings_text(p)},
                         {"asset.json", asset_json(asset, p)}},
                        message, error);
}

std::string History::record_events(const Asset& asset, EventFileHeader about,
                                   const std::vector<EventRecord>& downloaded,
                                   const std::string& message, std::string* error) {
    EventFileHeader kept_header;
    std::vector<EventRecord> kept;
    std::string text, why;
    // What the history holds is merged into, never written over: one it cannot read stays.
    if (blob_text("HEAD", asset.key, "events.csv", &text) &&
        !read_event_file(text, &kept_header, &kept, &why)) {
        *error = path_ + "/" + folder_name(asset.key) + "/events.csv: " + why;
        return "";
    }
    about.asset = asset.key;
    about.serial = asset.serial;
    about.latest_count = downloaded.size();
    about.latest_from = about.latest_to = 0;
    for (const EventRecord& r : downloaded) {
        if (!is_valid_event_time(r.timestamp))
            continue;
        about.latest_from =
            about.latest_from ? std::min(about.latest_from, r.timestamp) : r.timestamp;
        about.latest_to = std::max(about.latest_to, r.timestamp);
    }
    std::vector<EventRecord> merged = merge_event_records(kept, downloaded, about.relays);
    return commit_files(asset.key, {{"events.csv", event_iso_text(about, merged)}}, message, error);
}

bool History::events(const std::string& key, const std::string& rev, EventFileHeader* header,
                     std::vector<EventRecord>* records, std::string* error) const {
    std::string text, why;
    if (!blob_text(rev, key, "events.csv", &text)) {
        *error = key + "@" + rev + ": no event records in " + path_;
        return false;
    }
    if (read_event_file(text, header, records, &why))
        return true;
    *error = path_ + "/" + folder_name(key) + "/events.csv: " + why;
    return false;
}

bool History::blob_text(const std::string& rev, const std::string& key, const char* file,
                        std::string* text) const {
    Git<git_object, git_object_free> found;
    std::string object = rev + ":" + folder_name(key) + "/" + file;
    if (git_revparse_single(&found.p, repo_, object.c_str()) != 0 ||
        git_object_type(found.p) != GIT_OBJECT_BLOB)
        return false;
    auto* blob = reinterpret_cast<git_blob*>(found.p);
    text->assign(static_cast<const char*>(git_blob_rawcontent(blob)),
                 static_cast<size_t>(git_blob_rawsize(blob)));
    return true;
}

std::string History::commit_files(const std::string& key,
                                  const std::vector<std::pair<const char*, std::string>>& files,
                                  const std::string& message, std::string* error) {
    std::string name = folder_name(key);
    GCharPtr folder(g_build_filename(path_.c_str(), name.c_str(), nullptr));
    if (g_mkdir_with_parents(folder.get(), 0755) != 0) {
        *error = std::string(folder.get()) + ": " + g_strerror(errno);
        return "";
    }
    for (const auto& [file, text] : files)
        if (!write_whole(std::string(folder.get()) + "/" + file, text, error))
            return "";
    Git<git_index, git_index_free> index;
    Git<git_tree, git_tree_free> tree;
    Git<git_commit, git_commit_free> parent;
    Git<git_signature, git_signature_free> who;
    git_oid tree_id, commit_id, head;
    bool ok = git_repository_index(&index.p, repo_) == 0;
    for (const auto& [file, text] : files)
        ok = ok && git_index_add_bypath(index.p, (name + "/" + file).c_str()) == 0;
    ok = ok && git_index_write(index.p) == 0 && git_index_write_tree(&tree_id, index.p) == 0 &&
         git_tree_lookup(&tree.p, repo_, &tree_id) == 0 && (who.p = author(repo_));
    // The first version has no parent.
    bool born = ok && git_reference_name_to_id(&head, repo_, "HEAD") == 0;
    ok = ok && (!born || git_commit_lookup(&parent.p, repo_, &head) == 0);
    const git_commit* parents[] = {parent.p};
    ok = ok && git_commit_create(&commit_id, repo_, "HEAD", who.p, who.p, nullptr, message.c_str(),
                                 tree.p, born ? 1 : 0, parents) == 0;
    if (!ok) {
        *error = path_ + ": " + git_failure();
        return "";
    }
    char id[8];
    git_oid_tostr(id, sizeof id, &commit_id);
    return id;
}

bool History::load(const std::string& key, const std::string& rev, Parameters& p,
                   std::string* commit, std::string* error) const {
    std::string config, asset;
    Git<git_object, git_object_free> version;
    if (git_revparse_single(&version.p, repo_, (rev + "^{commit}").c_str()) == 0) {
        char id[8];
        git_oid_tostr(id, sizeof id, git_object_id(version.p));
        *commit = id;
    }
    if (!version.p || !blob_text(rev, key, "config.cfg", &config) ||
        !blob_text(rev, key, "asset.json", &asset)) {
        *error = key + "@" + rev + ": no such version in " + path_;
        return false;
    }
    // The variant the version was kept for.
    std::unique_ptr<JsonParser, decltype(&g_object_unref)> parser(json_parser_new(),
                                                                  &g_object_unref);
    const Variant* v = nullptr;
    if (json_parser_load_from_data(parser.get(), asset.c_str(), -1, nullptr)) {
        JsonObject* o = json_node_get_object(json_parser_get_root(parser.get()));
        if (o && json_object_has_member(o, "variant"))
            v = variant_of_program(json_object_get_string_member(o, "variant"));
    }
    p.variant = v ? v : &variant_full;
    FILE* in = fmemopen(config.data(), config.size(), "r");
    GError* failure = nullptr;
    bool read = in && read_config(in, p, &failure);
    if (in)
        std::fclose(in);
    if (!read)
        *error = key + "@" + rev + ": " + (failure ? failure->message : g_strerror(errno));
    if (failure)
        g_error_free(failure);
    p.nrelays = relays_in(p);
    p.options = options_in(p);
    return read;
}

std::vector<Version> History::versions(const std::string& key) const {
    std::vector<Version> out;
    Git<git_revwalk, git_revwalk_free> walk;
    if (git_revwalk_new(&walk.p, repo_) != 0 || git_revwalk_push_head(walk.p) != 0)
        return out;
    // Newest first, and a child always before its parent, even within one second.
    git_revwalk_sorting(walk.p, GIT_SORT_TOPOLOGICAL | GIT_SORT_TIME);
    std::string name = folder_name(key);
    // The asset folder's id in a tree, each tree read once: a commit's tree is its child's
    // parent tree too. A zero id: no such folder.
    std::map<std::string, git_oid> folders;
    auto folder_in = [&](const git_oid* tree_id) {
        std::string raw(reinterpret_cast<const char*>(tree_id->id), GIT_OID_RAWSZ);
        auto at = folders.find(raw);
        if (at != folders.end())
            return at->second;
        git_oid found{};
        Git<git_tree, git_tree_free> tree;
        Git<git_tree_entry, git_tree_entry_free> entry;
        if (git_tree_lookup(&tree.p, repo_, tree_id) == 0 &&
            git_tree_entry_bypath(&entry.p, tree.p, name.c_str()) == 0)
            found = *git_tree_entry_id(entry.p);
        return folders[raw] = found;
    };
    git_oid id;
    while (git_revwalk_next(&id, walk.p) == 0) {
        Git<git_commit, git_commit_free> commit, parent;
        if (git_commit_lookup(&commit.p, repo_, &id) != 0)
            continue;
        if (!key.empty()) {
            git_oid now = folder_in(git_commit_tree_id(commit.p)), before{};
            if (git_commit_parentcount(commit.p) > 0 &&
                git_commit_parent(&parent.p, commit.p, 0) == 0)
                before = folder_in(git_commit_tree_id(parent.p));
            // A version of this asset: its folder changed, or the commit says it is one (a
            // backup that found the settings as they were).
            std::string message = git_commit_message(commit.p);
            size_t space = message.find(' ');
            bool named =
                space != std::string::npos && message.compare(space + 1, key.size(), key) == 0 &&
                (message.size() == space + 1 + key.size() ||
                 std::string(":\n").find(message[space + 1 + key.size()]) != std::string::npos);
            bool changed = !git_oid_is_zero(&now) &&
                           (git_oid_is_zero(&before) || !git_oid_equal(&now, &before));
            if (!named && !changed)
                continue;
        }
        const git_signature* who = git_commit_author(commit.p);
        GDateTime* when = g_date_time_new_from_unix_local(who->when.time);
        GCharPtr date(g_date_time_format(when, "%Y-%m-%d %H:%M:%S"));
        g_date_time_unref(when);
        char rev[8];
        git_oid_tostr(rev, sizeof rev, &id);
        std::string message = git_commit_message(commit.p);
        size_t end = message.find('\n');
        std::string body = end == std::string::npos ? "" : message.substr(end);
        body.erase(0, body.find_first_not_of('\n'));
        body.erase(body.find_last_not_of(" \n") + 1);
        out.push_back({rev, date.get(), who->name ? who->name : "", message.substr(0, end), body});
    }
    return out;
}

EventFileHeader events_about(const Parameters& p, const Asset& asset, const std::string& tool) {
    EventFileHeader h;
    h.tool = tool;
    h.asset = asset.key;
    h.serial = asset.serial;
    h.variant = p.variant ? p.variant->program : "";
    h.relays = p.nrelays;
    h.utc_offset_minutes = local_utc_offset_minutes();
    return h;
}

std::string read_time(const std::string& asset_json) {
    std::unique_ptr<JsonParser, decltype(&g_object_unref)> parser(json_parser_new(),
                                                                  &g_object_unref);
    if (!json_parser_load_from_data(parser.get(), asset_json.c_str(), -1, nullptr))
        return "";
    JsonObject* o = json_node_get_object(json_parser_get_root(parser.get()));
    return o && json_object_has_member(o, "read") ? json_object_get_string_member(o, "read") : "";
}

namespace {

// The text of a blob in the index's conflict entry; empty when that side has none.
std::string entry_text(git_repository* repo, const git_index_entry* e) {
    Git<git_blob, git_blob_free> blob;
    if (!e || git_blob_lookup(&blob.p, repo, &e->id) != 0)
        return "";
    return std::string(static_cast<const char*>(git_blob_rawcontent(blob.p)),
                       static_cast<size_t>(git_blob_rawsize(blob.p)));
}

// An events.csv changed on both sides: the records of both, each once, under the header of the
// side that downloaded last. Empty when a side cannot be read: the merge then fails as it is.
std::string merged_events(const std::string& mine, const std::string& theirs) {
    EventFileHeader a, b;
    std::vector<EventRecord> ra, rb;
    std::string error;
    if (!read_event_file(mine, &a, &ra, &error) || !read_event_file(theirs, &b, &rb, &error))
        return "";
    const EventFileHeader& later = b.latest_to > a.latest_to ? b : a;
    return event_iso_text(later, merge_event_records(ra, rb, std::max(a.relays, b.relays)));
}

// The asset.json of a side of a merge: from the commit's tree.
std::string asset_of(git_repository* repo, const git_commit* commit, const std::string& key) {
    Git<git_tree, git_tree_free> tree;
    Git<git_tree_entry, git_tree_entry_free> entry;
    if (git_commit_tree(&tree.p, commit) != 0 ||
        git_tree_entry_bypath(&entry.p, tree.p, (key + "/asset.json").c_str()) != 0)
        return "";
    git_index_entry e{};
    e.id = *git_tree_entry_id(entry.p);
    return entry_text(repo, &e);
}

} // namespace

namespace {

// A server's login: the SSH agent's keys (HTTPS passwords are the server's own business: use
// a folder, an SSH remote, or a credential the URL carries).
int credentials(git_credential** out, const char*, const char* user_from_url, unsigned int allowed,
                void*) {
    if (allowed & GIT_CREDENTIAL_SSH_KEY)
        return git_credential_ssh_key_from_agent(out, user_from_url ? user_from_url : "git");
    return GIT_PASSTHROUGH;
}

} // namespace

History::SyncResult History::sync(std::string* said) {
    Git<git_remote, git_remote_free> remote;
    if (git_remote_lookup(&remote.p, repo_, "origin") != 0) {
        *said = path_ + ": no remote (origin) to share the history with; it stays as it was";
        return SyncResult::no_remote;
    }
    git_fetch_options fetch = GIT_FETCH_OPTIONS_INIT;
    fetch.callbacks.credentials = credentials;
    if (git_remote_fetch(remote.p, nullptr, &fetch, "sync") != 0) {
        *said = std::string(git_remote_url(remote.p)) + ": " + git_failure() +
                "; the history stays as it was";
        return SyncResult::unreachable;
    }
    Git<git_reference, git_reference_free> head;
    if (git_repository_head(&head.p, repo_) != 0) {
        *said = path_ + ": " + git_failure();
        return SyncResult::failed;
    }
    // Every history meets on the remote's main, whatever its own branch is called.
    std::string branch = git_reference_shorthand(head.p);
    std::string tracking = std::string("refs/remotes/origin/") + HISTORY_BRANCH;
    git_oid theirs_id;
    bool remote_has = git_reference_name_to_id(&theirs_id, repo_, tracking.c_str()) == 0;
    if (remote_has) {
        Git<git_annotated_commit, git_annotated_commit_free> theirs;
        git_merge_analysis_t analysis;
        git_merge_preference_t preference;
        const git_annotated_commit* heads[1];
        if (git_annotated_commit_lookup(&theirs.p, repo_, &theirs_id) != 0 ||
            (heads[0] = theirs.p, git_merge_analysis(&analysis, &preference, repo_, heads, 1)) !=
                0) {
            *said = path_ + ": " + git_failure();
            return SyncResult::failed;
        }
        Git<git_commit, git_commit_free> ours, other;
        git_commit_lookup(&ours.p, repo_, git_reference_target(head.p));
        git_commit_lookup(&other.p, repo_, &theirs_id);
        git_checkout_options checkout = GIT_CHECKOUT_OPTIONS_INIT;
        checkout.checkout_strategy = GIT_CHECKOUT_FORCE;
        if (analysis & GIT_MERGE_ANALYSIS_FASTFORWARD) {
            Git<git_reference, git_reference_free> moved;
            Git<git_object, git_object_free> target;
            if (git_object_lookup(&target.p, repo_, &theirs_id, GIT_OBJECT_COMMIT) != 0 ||
                git_checkout_tree(repo_, target.p, &checkout) != 0 ||
                git_reference_set_target(&moved.p, head.p, &theirs_id, "sync: fast-forward") != 0) {
                *said = path_ + ": " + git_failure();
                return SyncResult::failed;
            }
        } else if (!(analysis & GIT_MERGE_ANALYSIS_UP_TO_DATE)) {
            Git<git_index, git_index_free> merged;
            if (git_merge_commits(&merged.p, repo_, ours.p, other.p, nullptr) != 0) {
                *said = path_ + ": " + git_failure();
                return SyncResult::failed;
            }
            // Both changed an asset: its settings come whole from the side read later; its
            // event records from both.
            std::vector<std::string> keys;
            std::vector<std::pair<std::string, std::string>> events; // path, merged text
            Git<git_index_conflict_iterator, git_index_conflict_iterator_free> conflicts;
            const git_index_entry *base, *mine, *their;
            git_index_conflict_iterator_new(&conflicts.p, merged.p);
            while (git_index_conflict_next(&base, &mine, &their, conflicts.p) == 0) {
                std::string path = (mine ? mine : their)->path;
                std::string key = path.substr(0, path.find('/'));
                if (path == key + "/events.csv")
                    events.emplace_back(
                        path, merged_events(entry_text(repo_, mine), entry_text(repo_, their)));
                else if (std::find(keys.begin(), keys.end(), key) == keys.end())
                    keys.push_back(key);
            }
            for (const auto& [path, text] : events) {
                git_index_entry e{};
                e.mode = GIT_FILEMODE_BLOB;
                e.path = path.c_str();
                if (!text.empty() &&
                    git_blob_create_from_buffer(&e.id, repo_, text.data(), text.size()) == 0 &&
                    git_index_conflict_remove(merged.p, path.c_str()) == 0)
                    git_index_add(merged.p, &e);
            }
            for (const std::string& key : keys) {
                bool later = read_time(asset_of(repo_, other.p, key)) >
                             read_time(asset_of(repo_, ours.p, key));
                const git_commit* from = later ? other.p : ours.p;
                Git<git_tree, git_tree_free> tree;
                git_commit_tree(&tree.p, from);
                for (const char* file : {"config.cfg", "settings.txt", "asset.json"}) {
                    std::string path = key + "/" + file;
                    Git<git_tree_entry, git_tree_entry_free> entry;
                    git_index_conflict_remove(merged.p, path.c_str());
                    if (git_tree_entry_bypath(&entry.p, tree.p, path.c_str()) != 0)
                        continue;
                    git_index_entry e{};
                    e.mode = git_tree_entry_filemode(entry.p);
                    e.id = *git_tree_entry_id(entry.p);
                    e.path = path.c_str();
                    git_index_add(merged.p, &e);
                }
            }
            git_oid tree_id, commit_id;
            Git<git_tree, git_tree_free> tree;
            Git<git_signature, git_signature_free> who;
            const git_commit* parents[] = {ours.p, other.p};
            std::string message = "sync: merge " + std::string(git_remote_url(remote.p));
            if (git_index_has_conflicts(merged.p) ||
                git_index_write_tree_to(&tree_id, merged.p, repo_) != 0 ||
                git_tree_lookup(&tree.p, repo_, &tree_id) != 0 || !(who.p = author(repo_)) ||
                git_commit_create(&commit_id, repo_, "HEAD", who.p, who.p, nullptr, message.c_str(),
                                  tree.p, 2, parents) != 0 ||
                git_checkout_head(repo_, &checkout) != 0) {
                *said = path_ + ": " + git_failure();
                return SyncResult::failed;
            }
        }
    }
    std::string refspec = "refs/heads/" + branch + ":refs/heads/" + HISTORY_BRANCH;
    char* specs[] = {refspec.data()};
    const git_strarray push{specs, 1};
    git_push_options pushing = GIT_PUSH_OPTIONS_INIT;
    pushing.callbacks.credentials = credentials;
    if (git_remote_push(remote.p, &push, &pushing) != 0) {
        *said = std::string(git_remote_url(remote.p)) + ": " + git_failure();
        return SyncResult::unreachable;
    }
    *said = std::string("shared with ") + git_remote_url(remote.p);
    return SyncResult::done;
}
