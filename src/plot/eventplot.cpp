#include "plot/eventplot.h"

#include "base/gmem.h"
#include "formats/datetime.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <glib/gi18n.h>
#include <string>

namespace {

constexpr double FONT = 11;
constexpr double MARGIN = 8;
constexpr double TITLE_FONT = 13;

// Tableau's ten colours: told apart on screen and on paper.
constexpr Colour COLOURS[10] = {{0.12, 0.47, 0.71}, {1.00, 0.50, 0.05}, {0.17, 0.63, 0.17},
                                {0.84, 0.15, 0.16}, {0.58, 0.40, 0.74}, {0.55, 0.34, 0.29},
                                {0.89, 0.47, 0.76}, {0.50, 0.50, 0.50}, {0.74, 0.74, 0.13},
                                {0.09, 0.75, 0.81}};

uint64_t clamp_time(int64_t t, uint64_t low, uint64_t high) {
    return static_cast<uint64_t>(
        std::clamp<int64_t>(t, static_cast<int64_t>(low), static_cast<int64_t>(high)));
}

// A range of at least the shortest span, inside the log's when it fits there.
PlotView fitted(PlotView v, const EventLog& log, uint64_t from, uint64_t to) {
    uint64_t span = std::max(to - from, MIN_VIEW_MS);
    uint64_t whole = std::max(log.last - log.first, MIN_VIEW_MS);
    span = std::min(span, whole);
    from = clamp_time(static_cast<int64_t>(from), log.first, log.first + whole - span);
    v.from = from;
    v.to = from + span;
    return v;
}

// The visible valid events, with one more on either side so that lines reach the edges.
std::pair<size_t, size_t> visible(const EventLog& log, const PlotView& v) {
    auto [lo, hi] = events_between(log, v.from, v.to);
    return {lo > 0 ? lo - 1 : lo, hi < log.valid_count ? hi + 1 : hi};
}

double text_width(cairo_t* cr, const std::string& text) {
    cairo_text_extents_t e;
    cairo_text_extents(cr, text.c_str(), &e);
    return e.x_advance;
}

void text_at(cairo_t* cr, double x, double y, const std::string& text, double align = 0) {
    cairo_move_to(cr, x - align * text_width(cr, text), y);
    cairo_show_text(cr, text.c_str());
}

constexpr uint64_t S = 1000, M = 60 * S, H = 60 * M, D = 24 * H;

std::string date_text(uint64_t t) {
    Civil c = civil_from_days(static_cast<int64_t>(t / D));
    char text[32];
    g_snprintf(text, sizeof text, "%04lld-%02d-%02d", static_cast<long long>(c.year), c.month,
               c.day);
    return text;
}

// A step of the time axis: fixed milliseconds, or whole calendar months.
struct Step {
    uint64_t ms;
    int months;  // when not 0, the step is this many months from the first of a month (or year)
    char format; // of the labels: 's' time with seconds, 'm' day and time, 'd' date, 'M' month,
                 // 'y' year
};
constexpr Step STEPS[] = {
    {S, 0, 's'},           {2 * S, 0, 's'},      {5 * S, 0, 's'},      {10 * S, 0, 's'},
    {15 * S, 0, 's'},      {30 * S, 0, 's'},     {M, 0, 'm'},          {2 * M, 0, 'm'},
    {5 * M, 0, 'm'},       {10 * M, 0, 'm'},     {15 * M, 0, 'm'},     {30 * M, 0, 'm'},
    {H, 0, 'm'},           {2 * H, 0, 'm'},      {3 * H, 0, 'm'},      {6 * H, 0, 'm'},
    {12 * H, 0, 'm'},      {D, 0, 'd'},          {2 * D, 0, 'd'},      {3 * D, 0, 'd'},
    {7 * D, 0, 'd'},       {14 * D, 0, 'd'},     {30 * D, 1, 'M'},     {61 * D, 2, 'M'},
    {91 * D, 3, 'M'},      {182 * D, 6, 'M'},    {365 * D, 12, 'y'},   {730 * D, 24, 'y'},
    {1826 * D, 60, 'y'},   {3652 * D, 120, 'y'}, {7305 * D, 240, 'y'}, {18262 * D, 600, 'y'},
    {36525 * D, 1200, 'y'}};

std::string tick_text(uint64_t t, char format) {
    Civil c = civil_from_days(static_cast<int64_t>(t / D));
    uint64_t in_day = t % D;
    int hours = static_cast<int>(in_day / H), minutes = static_cast<int>(in_day % H / M),
        seconds = static_cast<int>(in_day % M / S);
    auto year = static_cast<long long>(c.year);
    char text[40];
    switch (format) {
    case 's':
        g_snprintf(text, sizeof text, "%02d:%02d:%02d", hours, minutes, seconds);
        break;
    case 'm':
        g_snprintf(text, sizeof text, "%02d-%02d %02d:%02d", c.month, c.day, hours, minutes);
        break;
    case 'd':
        return date_text(t);
    case 'M':
        g_snprintf(text, sizeof text, "%04lld-%02d", year, c.month);
        break;
    default:
        g_snprintf(text, sizeof text, "%04lld", year);
    }
    return text;
}

// The tick times of a step within [from, to].
std::vector<uint64_t> tick_times(const Step& step, uint64_t from, uint64_t to) {
    std::vector<uint64_t> out;
    if (!step.months) {
        for (uint64_t t = (from + step.ms - 1) / step.ms * step.ms; t <= to; t += step.ms)
            out.push_back(t);
        return out;
    }
    Civil c = civil_from_days(static_cast<int64_t>(from / D));
    // Months counted from year 0, started at a multiple of the step.
    int64_t month = (c.year * 12 + c.month - 1) / step.months * step.months;
    for (;; month += step.months) {
        int64_t days = days_from_civil(month / 12, static_cast<int>(month % 12) + 1, 1);
        if (days < 0)
            continue;
        uint64_t t = static_cast<uint64_t>(days) * D;
        if (t > to)
            break;
        if (t >= from)
            out.push_back(t);
    }
    return out;
}

void set_colour(cairo_t* cr, Colour c, double alpha = 1) {
    cairo_set_source_rgba(cr, c.r, c.g, c.b, alpha);
}

void draw_time_axis(cairo_t* cr, const PlotFrame& f, const PlotView& v, double bottom) {
    for (const TimeTick& tick : time_axis_layout(cr, f, v).ticks) {
        double x = std::round(tick.x) + 0.5;
        cairo_set_source_rgb(cr, 0.88, 0.88, 0.88);
        cairo_move_to(cr, x, f.top);
        cairo_line_to(cr, x, bottom);
        cairo_stroke(cr);
        cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
        cairo_move_to(cr, tick.label_left, bottom + FONT + 4);
        cairo_show_text(cr, tick.label.c_str());
    }
    text_at(cr, (f.left + f.right) / 2, bottom + 2 * FONT + 10, _("Time (controller clock)"), 0.5);
}

// Long enough to show a whole period of the longest dash pattern.
constexpr double LEGEND_LINE = 26;

void set_dashes(cairo_t* cr, int channel) {
    std::vector<double> d = channel_dashes(channel);
    cairo_set_dash(cr, d.data(), static_cast<int>(d.size()), 0);
}

void draw_temperatures(cairo_t* cr, const PlotFrame& f, const EventLog& log, const PlotView& v) {
    // Grid and scale: a line every 10 °C, or 20 or 50 when the scale is tall.
    double step = f.celsius_top > 200 ? 50 : f.celsius_top > 100 ? 20 : 10;
    for (double c = 0; c <= f.celsius_top + 0.5; c += step) {
        double y = std::round(y_of(f, c)) + 0.5;
        cairo_set_source_rgb(cr, 0.88, 0.88, 0.88);
        cairo_move_to(cr, f.left, y);
        cairo_line_to(cr, f.right, y);
        cairo_stroke(cr);
        cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
        text_at(cr, f.left - 4, y + FONT / 3, std::to_string(static_cast<int>(c)), 1);
    }
    cairo_save(cr);
    cairo_move_to(cr, MARGIN + FONT, (f.top + f.bottom) / 2);
    cairo_rotate(cr, -M_PI / 2);
    std::string title = _("Temperature (°C)");
    cairo_rel_move_to(cr, -text_width(cr, title) / 2, 0);
    cairo_show_text(cr, title.c_str());
    cairo_restore(cr);

    auto [lo, hi] = visible(log, v);
    cairo_save(cr);
    cairo_rectangle(cr, f.left, f.top, f.right - f.left, f.bottom - f.top);
    cairo_clip(cr);
    cairo_set_line_width(cr, 1.5);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    // More events than pixel columns: each column is drawn as one bar from its lowest to its
    // highest reading (reaching the column before, so the line is unbroken), the columns of a
    // dash pattern's gaps left out. The picture is that of the line, and a redraw costs the
    // width of the plot, not the length of the log: stroking a line that turns back on itself
    // in every column is what made long logs slow.
    bool dense = static_cast<double>(hi - lo) > f.right - f.left;
    for (int ch = 0; ch < 10; ++ch) {
        if (!(log.channels >> ch & 1))
            continue;
        set_colour(cr, channel_colour(ch));
        if (!dense) {
            for (size_t i = lo; i < hi; ++i) {
                const Event& e = log.events[i];
                cairo_line_to(cr, x_of(f, v, e.record.timestamp),
                              y_of(f, e.record.readings[static_cast<size_t>(ch)]));
            }
            set_dashes(cr, ch);
            cairo_stroke(cr);
            continue;
        }
        std::vector<double> dashes = channel_dashes(ch);
        double period = 0;
        for (double d : dashes)
            period += d;
        auto drawn = [&](long column) {
            double at = std::fmod(static_cast<double>(column) - f.left, period);
            for (size_t k = 0; k < dashes.size(); at -= dashes[k++])
                if (at < dashes[k])
                    return k % 2 == 0;
            return true;
        };
        long column = LONG_MIN;
        double low = 0, high = 0, last = -1;
        auto flush = [&] {
            if (column == LONG_MIN || (period > 0 && !drawn(column)))
                return;
            // Whole pixels: cairo fills such boxes without its general scan conversion.
            double top = std::floor(y_of(f, last >= 0 ? std::max(high, last) : high) - 0.5);
            double bottom = std::ceil(y_of(f, last >= 0 ? std::min(low, last) : low) + 0.5);
            cairo_rectangle(cr, static_cast<double>(column), top, 1, bottom - top);
        };
        double value = 0;
        for (size_t i = lo; i < hi; ++i) {
            const Event& e = log.events[i];
            long c = std::lround(std::floor(x_of(f, v, e.record.timestamp)));
            double previous = value;
            value = e.record.readings[static_cast<size_t>(ch)];
            if (c != column) {
                flush();
                last = column == LONG_MIN ? -1 : previous;
                column = c;
                low = high = value;
            } else {
                low = std::min(low, value);
                high = std::max(high, value);
            }
        }
        flush();
        cairo_fill(cr);
    }
    cairo_restore(cr);

    // The legend, in a row above the chart: each line as it is drawn.
    double x = f.left;
    cairo_save(cr);
    cairo_set_line_width(cr, 2);
    for (int ch = 0; ch < 10; ++ch) {
        if (!(log.channels >> ch & 1))
            continue;
        set_colour(cr, channel_colour(ch));
        set_dashes(cr, ch);
        cairo_move_to(cr, x, f.top - FONT - 4.5);
        cairo_line_to(cr, x + LEGEND_LINE, f.top - FONT - 4.5);
        cairo_stroke(cr);
        cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
        text_at(cr, x + LEGEND_LINE + 4, f.top - FONT - 1, EVENT_CHANNEL_NAMES[ch]);
        x += LEGEND_LINE + 12 + text_width(cr, EVENT_CHANNEL_NAMES[ch]);
    }
    cairo_restore(cr);
}

void draw_relays(cairo_t* cr, const PlotFrame& f, const EventLog& log, const PlotView& v) {
    auto [lo, hi] = visible(log, v);
    // Every row numbered, in a font the row's height holds.
    double font = std::min(FONT, f.row - 1);
    cairo_set_font_size(cr, font);
    for (int r = 0; r < v.relays; ++r) {
        double top = f.strip_top + r * f.row;
        cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
        text_at(cr, f.left - 4, top + f.row / 2 + font * 0.36, std::to_string(r + 1), 1);
        cairo_set_source_rgb(cr, 0.94, 0.94, 0.94);
        cairo_rectangle(cr, f.left, top + 1, f.right - f.left, f.row - 2);
        cairo_fill(cr);
        // A relay is closed from an event that says so to the next event.
        set_colour(cr, RELAY_COLOUR);
        auto closed = [&log, r](size_t i) { return log.events[i].record.relays >> r & 1; };
        // Spans less than a pixel apart are one rectangle: a long log costs the plot's width.
        double run_from = 0, run_to = -2;
        auto flush = [&] {
            if (run_to > run_from)
                cairo_rectangle(cr, run_from, top + 1, std::max(1.0, run_to - run_from), f.row - 2);
        };
        for (size_t i = lo; i < hi; ++i) {
            if (!closed(i))
                continue;
            size_t j = i + 1;
            while (j < log.valid_count && closed(j))
                ++j;
            uint64_t end = log.events[j < log.valid_count ? j : j - 1].record.timestamp;
            double x0 = std::max(f.left, x_of(f, v, log.events[i].record.timestamp));
            double x1 = std::min(f.right, x_of(f, v, end));
            if (x1 > x0) {
                if (x0 > run_to + 1) {
                    flush();
                    run_from = x0;
                }
                run_to = std::max(run_to, x1);
            }
            i = j - 1;
        }
        flush();
        cairo_fill(cr);
    }
    cairo_set_font_size(cr, FONT);
    cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
    cairo_save(cr);
    cairo_move_to(cr, MARGIN + FONT, f.strip_top + v.relays * f.row / 2);
    cairo_rotate(cr, -M_PI / 2);
    std::string title = _("Relays");
    cairo_rel_move_to(cr, -text_width(cr, title) / 2, 0);
    cairo_show_text(cr, title.c_str());
    cairo_restore(cr);
}

// The lowest edge of the charts: the strip chart's, or the temperatures' without relays.
double chart_bottom(const PlotFrame& f, const PlotView& v) {
    return v.relays > 0 ? f.strip_top + v.relays * f.row : f.bottom;
}

cairo_status_t write_to_file(void* file, const unsigned char* data, unsigned int length) {
    return std::fwrite(data, 1, length, static_cast<FILE*>(file)) == length
               ? CAIRO_STATUS_SUCCESS
               : CAIRO_STATUS_WRITE_ERROR;
}

} // namespace

PlotView full_view(const EventLog& log, int relays) {
    PlotView v;
    v.relays = std::clamp(relays, 0, EVENT_RELAYS);
    return fitted(v, log, log.first, log.last);
}

PlotView zoom_view(const PlotView& v, const EventLog& log, double factor, uint64_t around) {
    double span = static_cast<double>(v.to - v.from);
    double share = span > 0 ? static_cast<double>(around - v.from) / span : 0.5;
    double wanted = std::max(span * factor, static_cast<double>(MIN_VIEW_MS));
    auto from = static_cast<int64_t>(static_cast<double>(around) - share * wanted);
    return fitted(v, log, clamp_time(from, 0, UINT64_MAX / 2),
                  clamp_time(from, 0, UINT64_MAX / 2) + static_cast<uint64_t>(wanted));
}

PlotView pan_view(const PlotView& v, const EventLog& log, int64_t by) {
    int64_t from = static_cast<int64_t>(v.from) + by;
    uint64_t start = clamp_time(from, log.first, UINT64_MAX / 2);
    return fitted(v, log, start, start + (v.to - v.from));
}

PlotView range_view(const PlotView& v, const EventLog& log, uint64_t a, uint64_t b) {
    return fitted(v, log, std::min(a, b), std::max(a, b));
}

PlotFrame plot_frame(const EventLog& log, const PlotView& v, int width, int height) {
    PlotFrame f{};
    f.left = MARGIN + 2 * FONT + 34;
    f.right = std::max(f.left + 10, width - MARGIN - 10.0);
    f.top = MARGIN + FONT + 12 + (v.title.empty() ? 0 : TITLE_FONT + 8);
    double axis = 2 * FONT + 16; // tick labels and the axis title
    double rows = v.relays;
    // Rows high enough for a readable number each.
    f.row = std::clamp((height - f.top - axis - 8) * 0.35 / std::max(1.0, rows), 10.0, 16.0);
    double strip = v.relays > 0 ? rows * f.row + 8 : 0;
    f.bottom = std::max(f.top + 10, height - axis - strip - MARGIN);
    f.strip_top = f.bottom + 8;
    double highest = 0;
    auto [lo, hi] = visible(log, v);
    for (size_t i = lo; i < hi; ++i)
        for (size_t ch = 0; ch < 10; ++ch)
            if (log.channels >> ch & 1)
                highest = std::max<double>(highest, log.events[i].record.readings[ch]);
    f.celsius_top = std::max(10.0, std::ceil(highest / 10 + 0.01) * 10);
    return f;
}

double x_of(const PlotFrame& f, const PlotView& v, uint64_t t) {
    double span = static_cast<double>(std::max<uint64_t>(1, v.to - v.from));
    return f.left +
           (static_cast<double>(t) - static_cast<double>(v.from)) / span * (f.right - f.left);
}

uint64_t time_at(const PlotFrame& f, const PlotView& v, double x) {
    double share = std::clamp((x - f.left) / std::max(1.0, f.right - f.left), 0.0, 1.0);
    return v.from + static_cast<uint64_t>(share * static_cast<double>(v.to - v.from));
}

double y_of(const PlotFrame& f, double celsius) {
    return f.bottom - celsius / f.celsius_top * (f.bottom - f.top);
}

Colour channel_colour(int channel) {
    return COLOURS[channel % 10];
}

std::vector<double> channel_dashes(int channel) {
    // RTD 1 to 6, oil, windings 1 to 3. The windings (grey, olive, cyan) often lie on one
    // another: each has its own pattern, as do the inputs of like colour.
    static const std::vector<double> DASHES[10] = {
        {}, {6, 3}, {2, 2}, {8, 3, 2, 3}, {12, 4}, {8, 3, 2, 3, 2, 3},
        {}, {9, 3}, {2, 3}, {9, 3, 2, 3}};
    return DASHES[channel % 10];
}

TimeAxis time_axis_layout(cairo_t* cr, const PlotFrame& f, const PlotView& v) {
    cairo_save(cr);
    cairo_select_font_face(cr, "Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, FONT);
    double room = f.right - f.left;
    double span = static_cast<double>(v.to - v.from);
    TimeAxis axis{};
    for (const Step& step : STEPS) {
        // Steps that cannot fit are passed over before any label is measured.
        double count = span / static_cast<double>(step.ms);
        double least = text_width(cr, tick_text(v.from, step.format)) + TICK_LABEL_GAP;
        if (count * least > room + least && &step != &STEPS[std::size(STEPS) - 1])
            continue;
        axis = {step.ms, {}};
        bool apart = true;
        for (uint64_t t : tick_times(step, v.from, v.to)) {
            TimeTick tick{t, x_of(f, v, t), tick_text(t, step.format), 0, 0};
            double w = text_width(cr, tick.label);
            tick.label_left = tick.x - w / 2;
            tick.label_right = tick.x + w / 2;
            if (!axis.ticks.empty() &&
                tick.label_left - axis.ticks.back().label_right < TICK_LABEL_GAP)
                apart = false;
            axis.ticks.push_back(std::move(tick));
        }
        if (apart)
            break;
    }
    cairo_restore(cr);
    return axis;
}

std::string plot_title(const EventFileHeader& about, const EventLog& log) {
    std::string name = about.asset;
    if (!about.serial.empty())
        name += name.empty() ? about.serial : " (" + about.serial + ")";
    if (log.valid_count == 0)
        return name;
    std::string first = date_text(log.first), last = date_text(log.last);
    // TRANSLATORS: the dates of the first and the last event shown.
    std::string range =
        first == last ? first
                      : GCharPtr(g_strdup_printf(_("%s to %s"), first.c_str(), last.c_str())).get();
    return name.empty() ? range : name + " \u2014 " + range;
}

void draw_plot_charts(cairo_t* cr, int width, int height, const EventLog& log, const PlotView& v) {
    cairo_save(cr);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_select_font_face(cr, "Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, FONT);
    cairo_set_line_width(cr, 1);
    PlotFrame f = plot_frame(log, v, width, height);
    if (!v.title.empty()) {
        cairo_save(cr);
        cairo_select_font_face(cr, "Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
        cairo_set_font_size(cr, TITLE_FONT);
        cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
        text_at(cr, (f.left + f.right) / 2, MARGIN + TITLE_FONT, v.title, 0.5);
        cairo_restore(cr);
    }
    if (log.valid_count == 0) {
        cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
        text_at(cr, width / 2.0, height / 2.0, _("The event memory holds no events."), 0.5);
        cairo_restore(cr);
        return;
    }
    draw_time_axis(cr, f, v, chart_bottom(f, v));
    draw_temperatures(cr, f, log, v);
    draw_relays(cr, f, log, v);
    cairo_set_source_rgb(cr, 0.4, 0.4, 0.4);
    cairo_rectangle(cr, f.left + 0.5, f.top + 0.5, f.right - f.left - 1, f.bottom - f.top - 1);
    cairo_stroke(cr);
    cairo_restore(cr);
}

void draw_plot_marks(cairo_t* cr, int width, int height, const EventLog& log, const PlotView& v) {
    if (log.valid_count == 0)
        return;
    PlotFrame f = plot_frame(log, v, width, height);
    double bottom = chart_bottom(f, v);
    cairo_save(cr);
    cairo_set_line_width(cr, 1);
    auto line_at = [&](uint64_t t) {
        double x = std::round(x_of(f, v, t)) + 0.5;
        cairo_move_to(cr, x, f.top);
        cairo_line_to(cr, x, bottom);
        cairo_stroke(cr);
        return x;
    };
    if (v.marked && v.mark >= v.from && v.mark <= v.to) {
        cairo_set_source_rgb(cr, 0.8, 0, 0);
        line_at(v.mark);
    }
    cairo_select_font_face(cr, "Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    cairo_set_font_size(cr, FONT);
    for (int c = 0; c < 2; ++c) {
        if (!v.cursor_set[c] || v.cursor[c] < v.from || v.cursor[c] > v.to)
            continue;
        set_colour(cr, CURSOR_COLOUR);
        double x = line_at(v.cursor[c]);
        // The name in a tab at the chart's top, on the side with room.
        double w = FONT + 2, left = x + w + 1 > f.right ? x - w : x;
        cairo_rectangle(cr, left, f.top + 1, w, FONT + 4);
        cairo_fill(cr);
        cairo_set_source_rgb(cr, 1, 1, 1);
        text_at(cr, left + w / 2, f.top + FONT + 1, c == 0 ? "A" : "B", 0.5);
    }
    if (v.banded) {
        cairo_set_source_rgba(cr, 0.2, 0.4, 0.9, 0.2);
        double x0 = std::clamp(std::min(v.band_from, v.band_to), f.left, f.right);
        double x1 = std::clamp(std::max(v.band_from, v.band_to), f.left, f.right);
        cairo_rectangle(cr, x0, f.top, x1 - x0, bottom - f.top);
        cairo_fill(cr);
    }
    cairo_restore(cr);
}

void draw_event_plot(cairo_t* cr, int width, int height, const EventLog& log, const PlotView& v) {
    draw_plot_charts(cr, width, height, log, v);
    draw_plot_marks(cr, width, height, log, v);
}

int write_plot_png(FILE* file, int width, int height, const EventLog& log, const PlotView& v) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
    cairo_t* cr = cairo_create(surface);
    draw_event_plot(cr, width, height, log, v);
    cairo_destroy(cr);
    cairo_status_t status = cairo_surface_write_to_png_stream(surface, write_to_file, file);
    cairo_surface_destroy(surface);
    return status == CAIRO_STATUS_SUCCESS ? 1 : 0;
}

const Event* nearest_event(const EventLog& log, uint64_t t) {
    if (log.valid_count == 0)
        return nullptr;
    auto begin = log.events.begin(), end = begin + static_cast<long>(log.valid_count);
    auto at = std::lower_bound(
        begin, end, t, [](const Event& e, uint64_t time) { return e.record.timestamp < time; });
    if (at == end)
        return &*(end - 1);
    if (at != begin && t - (at - 1)->record.timestamp < at->record.timestamp - t)
        --at;
    return &*at;
}
