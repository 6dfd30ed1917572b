// plot_bench: how the event viewer keeps the window live with one event memory (3584 records,
// the simulator's image) and with an asset's history merged from ten downloads (35,840 records).
// Reports, never asserts:
//   - the longest stall of the main loop while the viewer opens (a 1 ms timer's gaps),
//   - a redraw on screen after the range changed (invalidate, draw, X sync), of the whole range
//     and of a zoomed one,
//   - a cursor dragged by the pointer (motion event, read-outs, redraw, X sync),
//   - the same plot drawn into an image, as kelvra-cli events --png does.
// Needs a display: xvfb-run -a ./plot_bench [--rounds N]
#include "device.h"
#include "gui/eventview.h"
#include "plot/eventplot.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtk/gtk.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

struct Stats {
    double median, worst;
};
Stats stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v.back()};
}

void report(const char* what, Stats s, double target) {
    std::printf("%-38s median %7.2f ms   worst %7.2f ms   target <= %.0f ms  %s\n", what, s.median,
                s.worst, target, s.worst <= target ? "met" : "MISSED");
}

std::vector<Clock::time_point> ticks;
gboolean on_tick(gpointer) {
    ticks.push_back(Clock::now());
    return G_SOURCE_CONTINUE;
}

void run_for(double milliseconds) {
    auto end = Clock::now() + std::chrono::microseconds(static_cast<long>(milliseconds * 1000));
    while (Clock::now() < end)
        gtk_main_iteration_do(FALSE) || (g_usleep(200), true);
}

// One redraw of the plot on screen, to the X server's end of it.
double redraw(GtkWidget* area) {
    auto start = Clock::now();
    gdk_window_invalidate_rect(area->window, nullptr, FALSE);
    gdk_window_process_updates(area->window, FALSE);
    gdk_display_sync(gdk_display_get_default());
    return ms(Clock::now() - start);
}

} // namespace

// Ten downloads of the same memory, each later than the one before, as a history merges them.
std::vector<EventRecord> ten_downloads(const std::vector<uint8_t>& image) {
    std::vector<EventRecord> one = dump_records(image.data(), image.size()), all;
    EventLog log = make_event_log(one);
    uint64_t shift = log.last - log.first + 3600 * 1000;
    for (uint64_t k = 0; k < 10; ++k)
        for (EventRecord r : one) {
            r.timestamp += k * shift;
            all.push_back(r);
        }
    return all;
}

void pointer(GtkWidget* area, GdkEventType type, double x, guint state) {
    GdkEvent* e = gdk_event_new(type);
    if (type == GDK_MOTION_NOTIFY) {
        e->motion.window = GDK_WINDOW(g_object_ref(area->window));
        e->motion.x = x;
        e->motion.y = 100;
        e->motion.state = state;
    } else {
        e->button.window = GDK_WINDOW(g_object_ref(area->window));
        e->button.x = x;
        e->button.y = 100;
        e->button.button = 1;
    }
    gtk_widget_event(area, e);
    gdk_event_free(e);
}

// Zooms by `factor` and back again, timing each redraw.
void zoom_rounds(GtkWidget* window, GtkWidget* area, int rounds, std::vector<double>* out) {
    for (int i = 0; i < rounds; ++i) {
        zoom_event_viewer(window, i % 2 ? 1.25 : 0.8, 0.5);
        out->push_back(redraw(area));
    }
}

void measure(const char* name, EventSource source, int rounds) {
    size_t records = source.dump.empty() ? source.records.size() : source.dump.size() / 18;
    std::printf("\n%s: %zu records\n", name, records);
    EventLog log = source.dump.empty() ? make_event_log(source.records)
                                       : read_event_log(source.dump.data(), source.dump.size());
    PlotView view = full_view(log, source.about.relays);
    view.title = plot_title(source.about, log);
    // Opening, as the menu command does at the end of its download, with a 1 ms timer beside it.
    guint tick = g_timeout_add(1, on_tick, nullptr);
    run_for(50);
    ticks.clear();
    auto opened_at = Clock::now();
    GtkWidget* window = open_event_viewer(std::move(source));
    double open_call = ms(Clock::now() - opened_at);
    run_for(500); // the first layout and draw, and what follows
    g_source_remove(tick);
    double stall = 0;
    for (size_t i = 1; i < ticks.size(); ++i)
        stall = std::max(stall, ms(ticks[i] - ticks[i - 1]));
    stall = std::max(stall, ticks.empty() ? 0 : ms(ticks.front() - opened_at));
    std::printf("%-38s %7.2f ms   (open_event_viewer itself %.2f ms)   target <= 50 ms  %s\n",
                "longest main-loop stall, opening", stall, open_call,
                stall <= 50 ? "met" : "MISSED");

    GtkWidget* area = event_viewer_part(window, "events_plot");
    std::printf("%-38s %d x %d pixels\n", "plot", area->allocation.width, area->allocation.height);
    std::vector<double> whole, zoomed, cursor;
    zoom_rounds(window, area, rounds, &whole);
    report("redraw, whole range", stats(whole), 30);
    for (int i = 0; i < 8; ++i)
        zoom_event_viewer(window, 0.8, 0.5);
    zoom_rounds(window, area, rounds, &zoomed);
    report("redraw, zoomed in (8 wheel steps)", stats(zoomed), 30);

    // Cursors A and B placed by clicks, then A dragged a few pixels at a time.
    double w = area->allocation.width;
    for (double x : {w / 3, w * 2 / 3}) {
        pointer(area, GDK_BUTTON_PRESS, x, 0);
        pointer(area, GDK_BUTTON_RELEASE, x, 0);
    }
    redraw(area);
    pointer(area, GDK_BUTTON_PRESS, w / 3, 0);
    for (int i = 1; i <= rounds; ++i) {
        auto start = Clock::now();
        pointer(area, GDK_MOTION_NOTIFY, w / 3 + 3 * i, GDK_BUTTON1_MASK);
        // The read-outs' new sizes are laid out from the main loop, before the redraw.
        while (gtk_events_pending())
            gtk_main_iteration_do(FALSE);
        gdk_window_process_updates(window->window, TRUE);
        gdk_display_sync(gdk_display_get_default());
        cursor.push_back(ms(Clock::now() - start));
    }
    pointer(area, GDK_BUTTON_RELEASE, w / 3 + 3 * rounds, 0);
    report("cursor dragged (a motion event)", stats(cursor), 15);
    gtk_widget_destroy(window);

    std::vector<double> offscreen;
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1200, 700);
    for (int i = 0; i < rounds; ++i) {
        auto start = Clock::now();
        cairo_t* cr = cairo_create(surface);
        draw_event_plot(cr, 1200, 700, log, view);
        cairo_destroy(cr);
        cairo_surface_flush(surface);
        offscreen.push_back(ms(Clock::now() - start));
    }
    cairo_surface_destroy(surface);
    report("draw into a 1200 x 700 image", stats(offscreen), 30);
}

int main(int argc, char** argv) {
    int rounds = 50;
    for (int i = 1; i + 1 < argc; i += 2)
        if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::max(1, std::atoi(argv[i + 1]));
    if (!gtk_init_check(&argc, &argv)) {
        std::fprintf(stderr, "plot_bench: no display; run it under xvfb-run -a\n");
        return 1;
    }
    sim::Device device(sim::DeviceConfig{});
    const std::vector<uint8_t>& image = device.event_image();
    EventSource download;
    download.about.relays = 14;
    download.dump = image;
    measure("one download", std::move(download), rounds);
    EventSource merged;
    merged.about.asset = "site12";
    merged.about.relays = 14;
    merged.records = ten_downloads(image);
    measure("ten downloads merged", std::move(merged), rounds);

    return 0;
}
