// plot/: the event plot, drawn with cairo on any surface (a window's, or an image for a file):
// the temperatures over time above, the relay states as a strip chart below. It uses formats/
// (the event records) and cairo only, so the command line draws the same picture as the window.
#pragma once

#include "formats/eventlog.h"

#include <cairo.h>
#include <cstdio>
#include <string>
#include <vector>

// What part of the log a plot shows, and what is marked on it.
struct PlotView {
    uint64_t from = 0, to = 0; // visible time range, milliseconds of the controller's clock
    int relays = 0;            // rows of the strip chart: relays 1 to `relays`
    bool marked = false;       // a time marked with a line (the table's selection)
    uint64_t mark = 0;
    bool banded = false; // a range being dragged, in pixels
    double band_from = 0, band_to = 0;
    // Cursors A and B, each a time when placed: the ends of a stretch the viewer reads out.
    bool cursor_set[2] = {false, false};
    uint64_t cursor[2] = {0, 0};
    std::string title; // drawn above the plot; none when empty
};

// "site12 (FT12AB) — 2025-01-01 to 2025-01-25": what the records are of and the dates of the
// log's first and last valid event, by the controller's clock.
std::string plot_title(const EventFileHeader& about, const EventLog& log);

// The shortest range a view zooms in to.
constexpr uint64_t MIN_VIEW_MS = 60 * 1000;

// The whole of the log.
PlotView full_view(const EventLog& log, int relays);
// Zoomed by `factor` (below 1: in) around the time `around`, which stays where it is on the
// screen; kept within the log's range.
PlotView zoom_view(const PlotView& v, const EventLog& log, double factor, uint64_t around);
// Moved by `by` milliseconds (negative: earlier), within the log's range.
PlotView pan_view(const PlotView& v, const EventLog& log, int64_t by);
// Showing the range between two times.
PlotView range_view(const PlotView& v, const EventLog& log, uint64_t a, uint64_t b);

// Where the parts of a plot of this size lie, in pixels.
struct PlotFrame {
    double left, right;    // the time axis of both charts
    double top, bottom;    // the temperature chart
    double strip_top, row; // the relay rows: the first one's top and each one's height
    double celsius_top;    // the temperature at the chart's top (its bottom is 0)
};
PlotFrame plot_frame(const EventLog& log, const PlotView& v, int width, int height);
double x_of(const PlotFrame& f, const PlotView& v, uint64_t t);
uint64_t time_at(const PlotFrame& f, const PlotView& v, double x);
double y_of(const PlotFrame& f, double celsius);

// The time axis's ticks: where they are, their labels, and how far each label reaches. The step
// is the shortest of 1 s to 100 calendar years whose labels, measured with the plot's font on
// `cr`, stay apart; labels name the year when the step is a day or more.
struct TimeTick {
    uint64_t t;
    double x;
    std::string label;
    double label_left, label_right;
};
struct TimeAxis {
    uint64_t step_ms; // a calendar month counts 30 days, a year 365
    std::vector<TimeTick> ticks;
};
TimeAxis time_axis_layout(cairo_t* cr, const PlotFrame& f, const PlotView& v);
// The least room between two tick labels, in pixels.
constexpr double TICK_LABEL_GAP = 12;

// The colour of a reading's line, red, green and blue from 0 to 1.
struct Colour {
    double r, g, b;
};
Colour channel_colour(int channel);
// The dash pattern of a reading's line (lengths in pixels; none: solid), so that lines of
// similar colour, and on grey paper, are told apart.
std::vector<double> channel_dashes(int channel);
// The cursors' lines and name tabs.
constexpr Colour CURSOR_COLOUR{0.45, 0.1, 0.55};
// The fill of a closed relay.
constexpr Colour RELAY_COLOUR{0.27, 0.35, 0.47};

void draw_event_plot(cairo_t* cr, int width, int height, const EventLog& log, const PlotView& v);
// Its two layers, for a window that keeps the first and redraws only the second as the pointer
// moves: the charts (no marks), and then the marks (the table's row, the band, the cursors).
void draw_plot_charts(cairo_t* cr, int width, int height, const EventLog& log, const PlotView& v);
void draw_plot_marks(cairo_t* cr, int width, int height, const EventLog& log, const PlotView& v);
// The plot as a PNG image of that size; 1 when all of it was written.
int write_plot_png(FILE* file, int width, int height, const EventLog& log, const PlotView& v);

// The valid event nearest to a time; null when the log has none.
const Event* nearest_event(const EventLog& log, uint64_t t);
