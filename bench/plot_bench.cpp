// plot_bench: how the event viewer keeps the window live with a full event memory (3584
// records, the simulator's image). Reports, never asserts:
//   - the longest stall of the main loop while the viewer opens (a 1 ms timer's gaps),
//   - a redraw of the whole range and of a zoomed one on screen (invalidate, draw, X sync),
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

    // Opening, as the menu command does at the end of its download, with a 1 ms timer beside it.
    guint tick = g_timeout_add(1, on_tick, nullptr);
    run_for(50);
    ticks.clear();
    auto opened_at = Clock::now();
    GtkWidget* window = open_event_viewer(image, 14);
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
    std::printf("%-38s %d x %d pixels, %zu records\n", "plot", area->allocation.width,
                area->allocation.height, image.size() / EVENT_RECORD_SIZE);
    std::vector<double> whole, zoomed, offscreen;
    for (int i = 0; i < rounds; ++i)
        whole.push_back(redraw(area));
    report("redraw, whole range", stats(whole), 30);
    for (int i = 0; i < 8; ++i)
        zoom_event_viewer(window, 0.8, 0.5);
    for (int i = 0; i < rounds; ++i)
        zoomed.push_back(redraw(area));
    report("redraw, zoomed in (8 wheel steps)", stats(zoomed), 30);

    EventLog log = read_event_log(image.data(), image.size());
    PlotView view = full_view(log, 14);
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
    gtk_widget_destroy(window);
    return 0;
}
