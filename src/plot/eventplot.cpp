#include "plot/eventplot.h"

#include "formats/datetime.h"

#include <algorithm>
#include <cmath>
#include <glib/gi18n.h>
#include <string>

namespace {

constexpr double FONT = 11;
constexpr double MARGIN = 8;

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
    auto begin = log.events.begin(), end = begin + static_cast<long>(log.valid_count);
    auto lo = std::lower_bound(begin, end, v.from,
                               [](const Event& e, uint64_t t) { return e.record.timestamp < t; });
    auto hi = std::upper_bound(begin, end, v.to,
                               [](uint64_t t, const Event& e) { return t < e.record.timestamp; });
    if (lo != begin)
        --lo;
    if (hi != end)
        ++hi;
    return {static_cast<size_t>(lo - begin), static_cast<size_t>(hi - begin)};
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

struct Step {
    uint64_t ms;
    const char* format; // of the labels: 'd' date, 'm' date and minutes, 's' seconds
};
constexpr uint64_t S = 1000, M = 60 * S, H = 60 * M, D = 24 * H;
constexpr Step STEPS[] = {{10 * S, "s"}, {30 * S, "s"}, {M, "m"},      {2 * M, "m"},  {5 * M, "m"},
                          {10 * M, "m"}, {15 * M, "m"}, {30 * M, "m"}, {H, "m"},      {2 * H, "m"},
                          {3 * H, "m"},  {6 * H, "m"},  {12 * H, "m"}, {D, "d"},      {2 * D, "d"},
                          {3 * D, "d"},  {7 * D, "d"},  {14 * D, "d"}, {28 * D, "d"}, {91 * D, "d"},
                          {364 * D, "d"}};

std::string tick_text(uint64_t t, char format) {
    EventTime e{};
    pcf8583_gmtime(&e, t);
    char text[32];
    if (format == 'd')
        g_snprintf(text, sizeof text, "%02d/%02d/%02d", e.day, e.month, e.year);
    else if (format == 'm')
        g_snprintf(text, sizeof text, "%02d/%02d %02d:%02d", e.day, e.month, e.hours, e.minutes);
    else
        g_snprintf(text, sizeof text, "%02d:%02d:%02d", e.hours, e.minutes, e.seconds);
    return text;
}

void set_colour(cairo_t* cr, Colour c, double alpha = 1) {
    cairo_set_source_rgba(cr, c.r, c.g, c.b, alpha);
}

void draw_time_axis(cairo_t* cr, const PlotFrame& f, const PlotView& v, double bottom) {
    double room = f.right - f.left;
    const Step* step = &STEPS[std::size(STEPS) - 1];
    for (const Step& s : STEPS)
        if ((v.to - v.from) / s.ms <= static_cast<uint64_t>(room / 110)) {
            step = &s;
            break;
        }
    for (uint64_t t = (v.from + step->ms - 1) / step->ms * step->ms; t <= v.to; t += step->ms) {
        double x = std::round(x_of(f, v, t)) + 0.5;
        cairo_set_source_rgb(cr, 0.88, 0.88, 0.88);
        cairo_move_to(cr, x, f.top);
        cairo_line_to(cr, x, bottom);
        cairo_stroke(cr);
        cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
        text_at(cr, x, bottom + FONT + 4, tick_text(t, step->format[0]), 0.5);
    }
    text_at(cr, (f.left + f.right) / 2, bottom + 2 * FONT + 10, _("Time (controller clock)"), 0.5);
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
    for (int ch = 0; ch < 10; ++ch) {
        if (!(log.channels >> ch & 1))
            continue;
        // Per pixel column only its lowest and highest reading: the picture is the same, and a
        // redraw costs the width of the plot, not the length of the log.
        long column = -1;
        double low = 0, high = 0;
        bool high_first = false;
        auto flush = [&] {
            if (column < 0)
                return;
            double x = static_cast<double>(column) + 0.5;
            cairo_line_to(cr, x, y_of(f, high_first ? high : low));
            cairo_line_to(cr, x, y_of(f, high_first ? low : high));
        };
        for (size_t i = lo; i < hi; ++i) {
            const Event& e = log.events[i];
            double x = x_of(f, v, e.record.timestamp);
            double value = e.record.readings[static_cast<size_t>(ch)];
            long c = std::lround(std::floor(x));
            if (i == lo || i + 1 == hi) { // the points beyond the edges keep their place
                flush();
                column = -1;
                cairo_line_to(cr, x, y_of(f, value));
                continue;
            }
            if (c != column) {
                flush();
                column = c;
                low = high = value;
                high_first = false;
            } else if (value < low) {
                low = value;
                high_first = true;
            } else if (value > high) {
                high = value;
            }
        }
        flush();
        set_colour(cr, channel_colour(ch));
        cairo_stroke(cr);
    }
    cairo_restore(cr);

    // The legend, in a row above the chart.
    double x = f.left;
    for (int ch = 0; ch < 10; ++ch) {
        if (!(log.channels >> ch & 1))
            continue;
        set_colour(cr, channel_colour(ch));
        cairo_rectangle(cr, x, f.top - FONT - 6, 14, 3);
        cairo_fill(cr);
        cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
        text_at(cr, x + 18, f.top - FONT - 1, EVENT_CHANNEL_NAMES[ch]);
        x += 26 + text_width(cr, EVENT_CHANNEL_NAMES[ch]);
    }
}

void draw_relays(cairo_t* cr, const PlotFrame& f, const EventLog& log, const PlotView& v) {
    auto [lo, hi] = visible(log, v);
    // Rows too low for a number each are numbered every other one.
    double font = std::min(FONT, f.row + 1);
    cairo_set_font_size(cr, font);
    for (int r = 0; r < v.relays; ++r) {
        double top = f.strip_top + r * f.row;
        cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
        if (f.row >= 10 || r % 2 == 0)
            text_at(cr, f.left - 4, top + f.row / 2 + font / 3, std::to_string(r + 1), 1);
        cairo_set_source_rgb(cr, 0.94, 0.94, 0.94);
        cairo_rectangle(cr, f.left, top + 1, f.right - f.left, f.row - 2);
        cairo_fill(cr);
        // A relay is closed from an event that says so to the next event.
        set_colour(cr, RELAY_COLOUR);
        auto closed = [&log, r](size_t i) { return log.events[i].record.relays >> r & 1; };
        for (size_t i = lo; i < hi; ++i) {
            if (!closed(i))
                continue;
            size_t j = i + 1;
            while (j < log.valid_count && closed(j))
                ++j;
            uint64_t end = log.events[j < log.valid_count ? j : j - 1].record.timestamp;
            double x0 = std::max(f.left, x_of(f, v, log.events[i].record.timestamp));
            double x1 = std::min(f.right, x_of(f, v, end));
            if (x1 > x0)
                cairo_rectangle(cr, x0, top + 1, std::max(1.0, x1 - x0), f.row - 2);
            i = j - 1;
        }
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
    f.top = MARGIN + FONT + 12;
    double axis = 2 * FONT + 16; // tick labels and the axis title
    double rows = v.relays;
    f.row = std::clamp((height - f.top - axis - 8) * 0.35 / std::max(1.0, rows), 7.0, 16.0);
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

void draw_event_plot(cairo_t* cr, int width, int height, const EventLog& log, const PlotView& v) {
    cairo_save(cr);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_select_font_face(cr, "Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, FONT);
    cairo_set_line_width(cr, 1);
    PlotFrame f = plot_frame(log, v, width, height);
    double bottom = v.relays > 0 ? f.strip_top + v.relays * f.row : f.bottom;
    if (log.valid_count == 0) {
        cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
        text_at(cr, width / 2.0, height / 2.0, _("The event memory holds no events."), 0.5);
        cairo_restore(cr);
        return;
    }
    draw_time_axis(cr, f, v, bottom);
    draw_temperatures(cr, f, log, v);
    draw_relays(cr, f, log, v);
    cairo_set_source_rgb(cr, 0.4, 0.4, 0.4);
    cairo_rectangle(cr, f.left + 0.5, f.top + 0.5, f.right - f.left - 1, f.bottom - f.top - 1);
    cairo_stroke(cr);
    if (v.marked && v.mark >= v.from && v.mark <= v.to) {
        double x = std::round(x_of(f, v, v.mark)) + 0.5;
        cairo_set_source_rgb(cr, 0.8, 0, 0);
        cairo_move_to(cr, x, f.top);
        cairo_line_to(cr, x, bottom);
        cairo_stroke(cr);
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
