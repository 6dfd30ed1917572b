#include "report/report.h"
#include "base/gmem.h"

#include "formats/datetime.h"
#include "formats/eventlog.h"
#include "plot/eventplot.h"

#include <algorithm>
#include <cairo-pdf.h>
#include <functional>
#include <glib/gi18n.h>
#include <map>
#include <memory>

namespace {

// A4 in points, and the part of it the text may use.
constexpr double PAGE_WIDTH = 595.28, PAGE_HEIGHT = 841.89;
constexpr double MARGIN = 56, FOOTER = 28;
constexpr double TEXT_WIDTH = PAGE_WIDTH - 2 * MARGIN;
constexpr double VALUE_X = MARGIN + 230; // the value column of a row
constexpr double LINE = 14;              // a line of body text
// The plot is drawn at the window's scale and shrunk onto the page.
constexpr double PLOT_WIDTH = 900, PLOT_HEIGHT = 560;

enum class Font { body, bold, mono, heading, title };

void set_font(cairo_t* cr, Font f) {
    bool bold = f == Font::bold || f == Font::heading || f == Font::title;
    cairo_select_font_face(cr, f == Font::mono ? "Monospace" : "Sans", CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, f == Font::title ? 18 : f == Font::heading ? 13 : 10);
}

double width_of(cairo_t* cr, const std::string& text) {
    cairo_text_extents_t e;
    cairo_text_extents(cr, text.c_str(), &e);
    return e.x_advance;
}

void text_at(cairo_t* cr, double x, double baseline, const std::string& text) {
    cairo_move_to(cr, x, baseline);
    cairo_show_text(cr, text.c_str());
}

// The text in lines no wider than `width`, broken between words (a word wider than that stays
// whole).
std::vector<std::string> wrapped(cairo_t* cr, const std::string& text, double width) {
    std::vector<std::string> lines;
    std::string line;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find(' ', at);
        std::string word = text.substr(at, end == std::string::npos ? end : end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        std::string longer = line.empty() ? word : std::string(line).append(" ").append(word);
        if (!line.empty() && width_of(cr, longer) > width) {
            lines.push_back(line);
            line = word;
        } else {
            line = longer;
        }
    }
    lines.push_back(line);
    return lines;
}

// The report as blocks of known height, laid out onto pages before any is drawn, so that each
// page can say how many there are.
class Document {
  public:
    explicit Document(cairo_t* cr) : cr_(cr) {}

    void title(const std::string& text) { lines(Font::title, {text}, 28); }
    void heading(const std::string& text) {
        add(10, false, nullptr);
        lines(Font::heading, {text}, 20, true);
    }
    void subheading(const std::string& text) {
        add(4, false, nullptr);
        lines(Font::bold, {text}, LINE + 2, true);
    }
    // Text wrapped to the page's width, its lines on one page (with the next block, `keep`).
    void paragraph(const std::string& text, Font font = Font::body, bool keep = false) {
        set_font(cr_, font);
        lines(font, wrapped(cr_, text, TEXT_WIDTH), LINE, true);
        blocks_.back().keep_with_next = keep;
    }
    // A name and its value, the value wrapped within its column.
    void row(const std::string& name, const std::string& value) {
        set_font(cr_, Font::body);
        std::vector<std::string> shown = wrapped(cr_, value, MARGIN + TEXT_WIDTH - VALUE_X);
        add(LINE * static_cast<double>(shown.size()), false, [name, shown](cairo_t* cr, double y) {
            set_font(cr, Font::body);
            text_at(cr, MARGIN, y + 10, name);
            for (size_t i = 0; i < shown.size(); ++i)
                text_at(cr, VALUE_X, y + 10 + LINE * static_cast<double>(i), shown[i]);
        });
    }
    // The last block stays on the page of the next.
    void keep_with_next() { blocks_.back().keep_with_next = true; }
    void picture(double height, std::function<void(cairo_t*, double)> draw) {
        add(height, false, std::move(draw));
    }

    // Places every block: a block that does not fit starts a page, and a heading goes with the
    // block after it. The number of pages.
    int lay_out() {
        double bottom = PAGE_HEIGHT - MARGIN - FOOTER, y = MARGIN;
        int page = 0;
        for (size_t i = 0; i < blocks_.size(); ++i) {
            double needed = blocks_[i].height;
            for (size_t j = i; j + 1 < blocks_.size() && blocks_[j].keep_with_next; ++j)
                needed += blocks_[j + 1].height;
            if (y + needed > bottom && y > MARGIN) {
                ++page;
                y = MARGIN;
                // A gap never opens a page.
                if (!blocks_[i].draw) {
                    blocks_[i].page = -1;
                    continue;
                }
            }
            blocks_[i].page = page;
            blocks_[i].y = y;
            y += blocks_[i].height;
        }
        return page + 1;
    }
    // Draws the pages laid out, each with `footer` and its number.
    void draw(int pages, const std::string& footer) {
        size_t next = 0;
        for (int page = 0; page < pages; ++page) {
            for (; next < blocks_.size() && blocks_[next].page <= page; ++next)
                if (blocks_[next].draw && blocks_[next].page == page) {
                    cairo_save(cr_);
                    cairo_set_source_rgb(cr_, 0, 0, 0);
                    blocks_[next].draw(cr_, blocks_[next].y);
                    cairo_restore(cr_);
                }
            set_font(cr_, Font::body);
            cairo_set_font_size(cr_, 8);
            cairo_set_source_rgb(cr_, 0.3, 0.3, 0.3);
            double baseline = PAGE_HEIGHT - MARGIN + 8;
            text_at(cr_, MARGIN, baseline, footer);
            GCharPtr number(g_strdup_printf(_("Page %d of %d"), page + 1, pages));
            text_at(cr_, MARGIN + TEXT_WIDTH - width_of(cr_, number.get()), baseline, number.get());
            cairo_show_page(cr_);
        }
    }

  private:
    struct Block {
        double height;
        bool keep_with_next;
        std::function<void(cairo_t*, double)> draw; // none: a gap
        int page = 0;
        double y = 0;
    };
    void add(double height, bool keep, std::function<void(cairo_t*, double)> draw) {
        blocks_.push_back({height, keep, std::move(draw)});
    }
    void lines(Font font, const std::vector<std::string>& text, double height, bool keep = false) {
        for (const std::string& line : text)
            add(height, keep, [font, line, height](cairo_t* cr, double y) {
                set_font(cr, font);
                text_at(cr, MARGIN, y + height - 4, line);
            });
    }

    cairo_t* cr_;
    std::vector<Block> blocks_;
};

std::string printed(const char* format, auto... values) {
    return GCharPtr(g_strdup_printf(format, values...)).get();
}

std::string shown_value(const Parameter& p, uint16_t value, int nrelays) {
    std::string text = value_text(p, value, choice_rows(p, nrelays));
    return p.def->unit.empty() ? text : text.append(" ").append(p.def->unit);
}

// Where the window shows each section, in the window's order.
struct Place {
    const char* section;
    const char* page;
};
constexpr Place PLACES[] = {
    {N_("General"), N_("General settings")},
    {N_("Cooling"), N_("General settings")},
    {N_("Current loop output"), N_("General settings")},
    {N_("Winding temperature"), N_("General settings")},
    {N_("MODBUS port"), N_("Communication")},
    {N_("DNP3 port"), N_("Communication")},
};
constexpr const char* RELAYS_SECTION = "Relays";

void identity(Document& d, const ReportSubject& s) {
    const Parameters& p = s.settings;
    d.title(_("Commissioning report"));
    d.row(_("Asset"), s.asset.key.empty() ? _("(no name)") : s.asset.key);
    d.row(_("USB serial number"), s.asset.serial.empty() ? "-" : s.asset.serial);
    d.row(_("Program"), p.variant->program);
    d.row(_("Relays"), std::to_string(p.nrelays));
    d.row(_("Communication port"), (p.options & OPTION_DNP3) ? "DNP3" : "MODBUS");
    d.row(_("Event memory"), (p.options & OPTION_EVENTS) ? _("yes") : _("no"));
    d.row(_("Reached by"), s.asset.reached);
    d.row(_("Slave address"), std::to_string(s.slave));
    d.row(_("Baud rate"), std::to_string(s.baud));
    if (p.has(CLOCK_BLOCK.first) && p.has(CLOCK_BLOCK.first + 5))
        d.row(_("Controller clock"),
              printed("%04d-%02d-%02d %02d:%02d:%02d", 2000 + p.value(405), p.value(404),
                      p.value(403), p.value(400), p.value(401), p.value(402)));
    char date[64];
    std::tm local{};
    localtime_r(&s.made, &local);
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M", &local);
    d.row(_("Date"), date);
    d.row(_("Engineer"), s.engineer);
    d.row(_("Made with"), s.tool);
}

void settings(Document& d, const Parameters& p) {
    d.heading(_("Settings"));
    d.paragraph(_("SHA-256 of the configuration file:"));
    d.paragraph(settings_sha256(p), Font::mono);
    // Each relay's parameters in transfer order, then each section's.
    std::vector<Parameter> map = parameter_map(*p.variant);
    std::map<int, std::vector<const Parameter*>> relays;
    std::map<std::string, std::vector<const Parameter*>> sections;
    for (uint16_t a : config_addresses(*p.variant, p.nrelays, p.options)) {
        const Parameter* param = find_parameter(map, a);
        if (!param || !p.has(a))
            continue;
        if (param->def->section == RELAYS_SECTION)
            relays[a - param->def->address + 1].push_back(param);
        else
            sections[param->def->section].push_back(param);
    }
    // A section's rows stay on one page.
    auto rows = [&](const std::vector<const Parameter*>& params) {
        for (const Parameter* param : params) {
            if (param != params.front())
                d.keep_with_next();
            d.row(param->label, shown_value(*param, p.value(param->address), p.nrelays));
        }
    };
    if (!relays.empty())
        d.heading(_("Relays"));
    for (const auto& [n, params] : relays) {
        d.subheading(printed(_("Relay %d"), n));
        rows(params);
    }
    std::string page;
    for (const Place& place : PLACES) {
        auto found = sections.find(place.section);
        if (found == sections.end())
            continue;
        if (page != place.page)
            d.heading(_(place.page));
        page = place.page;
        d.subheading(_(place.section));
        rows(found->second);
        sections.erase(found);
    }
    for (const auto& [section, params] : sections) { // a section the window has no place for
        d.heading(section);
        rows(params);
    }
}

// Each difference as "name: before → after".
void changes(Document& d, const Parameters& before, const Parameters& after) {
    std::vector<Parameter> map = parameter_map(*after.variant);
    for (const Difference& c : differences(after, before, after.nrelays, after.options))
        if (const Parameter* p = find_parameter(map, c.address))
            d.row(p->label,
                  std::string(c.theirs_known ? shown_value(*p, c.theirs, after.nrelays) : "-")
                      .append(" → ")
                      .append(c.ours_known ? shown_value(*p, c.ours, after.nrelays) : "-"));
}

void last_upload(Document& d, const ReportSubject& s, const History* history) {
    d.heading(_("Last upload"));
    const std::string& key = s.asset.key;
    std::vector<Version> versions = history ? history->versions(key) : std::vector<Version>{};
    auto upload = std::find_if(versions.begin(), versions.end(), [](const Version& v) {
        return v.message.starts_with("upload ") || v.message.starts_with("restore ");
    });
    if (upload == versions.end()) {
        d.paragraph(history ? _("The history holds no upload to this controller.")
                            : _("No history is kept of this controller."));
        return;
    }
    // The version, its action and its read-back stay on one page.
    d.row(_("Version"), upload->rev + "  " + upload->date + "  " + upload->author);
    d.keep_with_next();
    d.row(_("Action"), upload->message);
    d.keep_with_next();
    size_t at = upload->body.find("Read back: ");
    std::string verdict = at == std::string::npos ? "" : upload->body.substr(at);
    verdict = verdict.substr(0, verdict.find('\n'));
    if (verdict == READ_BACK_AS_WRITTEN)
        d.row(_("Read back"), _("every value as written."));
    else if (verdict.starts_with(READ_BACK_KEPT))
        d.row(_("Read back"), std::string(_("the controller kept other values:"))
                                  .append(" ")
                                  .append(verdict.substr(std::string(READ_BACK_KEPT).size())));
    else
        d.row(_("Read back"), _("not recorded."));
    Parameters after, before;
    std::string commit, error;
    if (!history->load(key, upload->rev, after, &commit, &error))
        return;
    if (upload + 1 != versions.end() &&
        history->load(key, (upload + 1)->rev, before, &commit, &error)) {
        d.subheading(_("What the upload changed"));
        if (differences(after, before, after.nrelays, after.options).empty())
            d.paragraph(_("No setting changed."));
        changes(d, before, after);
    }
    d.subheading(_("Changed on the controller since"));
    if (differences(s.settings, after, s.settings.nrelays, s.settings.options).empty())
        d.paragraph(_("Nothing: the controller holds the settings that upload left."));
    changes(d, after, s.settings);
}

std::string controller_time(uint64_t milliseconds) {
    EventTime t{};
    pcf8583_gmtime(&t, milliseconds);
    return printed("%04d-%02d-%02d %02d:%02d:%02d", 1970 + (t.year + 30) % 256, t.month, t.day,
                   t.hours, t.minutes, t.seconds);
}

void events(Document& d, const ReportSubject& s, const History* history) {
    d.heading(_("Events"));
    EventFileHeader about;
    std::vector<EventRecord> records;
    std::string error;
    if (!(s.settings.options & OPTION_EVENTS)) {
        d.paragraph(_("This controller has no event memory."));
        return;
    }
    if (!history || !history->events(s.asset.key, "HEAD", &about, &records, &error)) {
        d.paragraph(_("The history holds no event records of this controller."));
        return;
    }
    auto log = std::make_shared<EventLog>(make_event_log(records));
    PlotView view = full_view(*log, about.relays);
    if (about.latest_to > about.latest_from) {
        view = range_view(view, *log, about.latest_from, about.latest_to);
        d.paragraph(printed(_("The latest event download: %s to %s, %zu records (of %zu kept)."),
                            controller_time(about.latest_from).c_str(),
                            controller_time(about.latest_to).c_str(), about.latest_count,
                            records.size()),
                    Font::body, true);
    }
    double height = TEXT_WIDTH * PLOT_HEIGHT / PLOT_WIDTH;
    d.picture(height + 8, [log, view, height](cairo_t* cr, double y) {
        cairo_translate(cr, MARGIN, y + 4);
        cairo_rectangle(cr, 0, 0, TEXT_WIDTH, height);
        cairo_clip(cr);
        cairo_scale(cr, TEXT_WIDTH / PLOT_WIDTH, TEXT_WIDTH / PLOT_WIDTH);
        draw_event_plot(cr, static_cast<int>(PLOT_WIDTH), static_cast<int>(PLOT_HEIGHT), *log,
                        view);
    });
}

// Two places to sign, the engineer's named.
void signatures(Document& d, const std::string& engineer) {
    d.heading(_("Signatures"));
    std::string left = printed(_("Engineer: %s"), engineer.c_str()), right = _("Customer:");
    d.picture(80, [left, right](cairo_t* cr, double y) {
        set_font(cr, Font::body);
        double half = TEXT_WIDTH / 2;
        for (auto [x, name] : {std::pair{MARGIN, left}, {MARGIN + half + 10, right}}) {
            text_at(cr, x, y + 16, name);
            cairo_set_line_width(cr, 0.5);
            cairo_move_to(cr, x, y + 60);
            cairo_line_to(cr, x + half - 10, y + 60);
            cairo_stroke(cr);
            cairo_set_font_size(cr, 8);
            text_at(cr, x, y + 72, _("Signature and date"));
            cairo_set_font_size(cr, 10);
        }
    });
}

cairo_status_t write_out(void* file, const unsigned char* data, unsigned int length) {
    return std::fwrite(data, 1, length, static_cast<FILE*>(file)) == length
               ? CAIRO_STATUS_SUCCESS
               : CAIRO_STATUS_WRITE_ERROR;
}

} // namespace

std::string default_engineer() {
    std::string name = g_get_real_name();
    return name.empty() || name == "Unknown" ? g_get_user_name() : name;
}

std::string settings_sha256(const Parameters& p) {
    std::string text = config_text(p);
    return GCharPtr(g_compute_checksum_for_data(G_CHECKSUM_SHA256,
                                                reinterpret_cast<const guchar*>(text.data()),
                                                text.size()))
        .get();
}

bool write_report(FILE* out, const ReportSubject& s, const History* history) {
    cairo_surface_t* surface =
        cairo_pdf_surface_create_for_stream(write_out, out, PAGE_WIDTH, PAGE_HEIGHT);
    std::string title =
        printed(_("Commissioning report of %s"),
                s.asset.key.empty() ? s.asset.reached.c_str() : s.asset.key.c_str());
    cairo_pdf_surface_set_metadata(surface, CAIRO_PDF_METADATA_TITLE, title.c_str());
    cairo_pdf_surface_set_metadata(surface, CAIRO_PDF_METADATA_AUTHOR, s.engineer.c_str());
    cairo_pdf_surface_set_metadata(surface, CAIRO_PDF_METADATA_CREATOR, s.tool.c_str());
    cairo_t* cr = cairo_create(surface);
    {
        Document d(cr);
        identity(d, s);
        settings(d, s.settings);
        last_upload(d, s, history);
        events(d, s, history);
        signatures(d, s.engineer);
        char date[32];
        std::tm local{};
        localtime_r(&s.made, &local);
        std::strftime(date, sizeof date, "%Y-%m-%d", &local);
        d.draw(d.lay_out(), std::string(title).append(", ").append(date));
    }
    cairo_destroy(cr);
    cairo_surface_finish(surface);
    bool written = cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(surface);
    return written;
}
