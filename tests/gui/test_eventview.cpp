// The event viewer: the log read from an event memory, the plot drawn headless and in the
// window, zoom, the table in step with the plot, and the viewer's exports against kelvra-sim.
#include "device.h"
#include "gui/eventview.h"
#include "gui/params.h"
#include "link/serial.h"
#include "plot/eventplot.h"
#include "support/sim_harness.h"
#include "support/window.h"

#include <cmath>
#include <sstream>

namespace {

using Bytes = std::vector<uint8_t>;

// A record at `ms` with every reading `celsius` and these relays closed.
void put_record(Bytes& dump, size_t n, uint64_t ms, uint8_t celsius, uint16_t relays = 0) {
    uint8_t* r = dump.data() + n * EVENT_RECORD_SIZE;
    for (int i = 0; i < 6; ++i)
        r[i] = static_cast<uint8_t>(ms >> (8 * i));
    std::fill(r + 6, r + 16, celsius);
    r[16] = static_cast<uint8_t>(relays);
    r[17] = static_cast<uint8_t>(relays >> 8);
}

std::vector<size_t> indexes(const EventLog& log) {
    std::vector<size_t> out;
    for (const Event& e : log.events)
        out.push_back(e.index);
    return out;
}

TEST(EventLog, LeavesOutEmptyRecordsAndPutsTheRingInTimeOrder) {
    constexpr uint64_t MIN = 60000, BASE = 1735689600000ULL; // 2025-01-01
    Bytes dump(EVENT_DUMP_SIZE, 0xFF);                       // erased memory
    // The newest records overwrote the oldest at the front of the ring.
    put_record(dump, 0, BASE + 10 * MIN, 50);
    put_record(dump, 1, BASE + 11 * MIN, 51);
    std::fill_n(dump.begin() + 2 * EVENT_RECORD_SIZE, EVENT_RECORD_SIZE, 0); // never written
    put_record(dump, 3, (uint64_t{1} << 32) * 1000, 52); // past the clock's 32-bit seconds
    put_record(dump, 4, BASE + 1 * MIN, 40);
    put_record(dump, 5, BASE + 2 * MIN, 0);
    EventLog log = read_event_log(dump.data(), dump.size());
    EXPECT_EQ(indexes(log), (std::vector<size_t>{4, 5, 0, 1, 3}));
    EXPECT_EQ(log.valid_count, 4u);
    EXPECT_FALSE(log.events.back().valid);
    EXPECT_EQ(log.first, BASE + MIN);
    EXPECT_EQ(log.last, BASE + 11 * MIN);
    EXPECT_EQ(log.channels, 0x3FF);
    EXPECT_TRUE(read_event_log(dump.data(), dump.size() - 1).events.empty());
}

// The simulator's memory, decoded for the plot, in the order and with the values of the
// export's golden file; the two inputs it does not fit are no series.
TEST(EventLog, SeriesOfTheSimulatorsMemory) {
    sim::Device device(sim::DeviceConfig{});
    const Bytes& image = device.event_image();
    EventLog log = read_event_log(image.data(), image.size());
    ASSERT_EQ(log.valid_count, EVENT_RECORD_COUNT);
    std::istringstream golden(test::slurp(test::source_path("tests/data/events_sim_full.csv")));
    std::string line;
    std::getline(golden, line);
    for (const Event& e : log.events) {
        std::getline(golden, line);
        ASSERT_EQ(event_csv_line(e.record), line + "\n") << "record " << e.index;
    }
    EXPECT_EQ(log.channels, 0x3FF & ~0x30); // RTD 5 and 6 read 0 throughout
}

// Pixels of a PNG: the background's, or another colour.
struct Picture {
    cairo_surface_t* surface;
    explicit Picture(const std::string& path)
        : surface(cairo_image_surface_create_from_png(path.c_str())) {}
    ~Picture() { cairo_surface_destroy(surface); }
    int width() const { return cairo_image_surface_get_width(surface); }
    int height() const { return cairo_image_surface_get_height(surface); }
    uint32_t at(int x, int y) const {
        const uint8_t* row =
            cairo_image_surface_get_data(surface) + y * cairo_image_surface_get_stride(surface);
        return reinterpret_cast<const uint32_t*>(row)[x] & 0xFFFFFF;
    }
    // Whether a pixel within `r` of (x, y) has this colour.
    bool near(double x, double y, Colour c, int r = 2) const {
        auto byte = [](double v) { return static_cast<uint32_t>(std::lround(v * 255)); };
        uint32_t want = byte(c.r) << 16 | byte(c.g) << 8 | byte(c.b);
        for (int dy = -r; dy <= r; ++dy)
            for (int dx = -r; dx <= r; ++dx) {
                uint32_t p = at(static_cast<int>(x) + dx, static_cast<int>(y) + dy);
                int diff = 0;
                for (int shift : {0, 8, 16})
                    diff += std::abs(static_cast<int>(p >> shift & 0xFF) -
                                     static_cast<int>(want >> shift & 0xFF));
                if (diff < 40)
                    return true;
            }
        return false;
    }
};

TEST(EventPlot, DrawsEverySeriesAndRelayHeadless) {
    sim::Device device(sim::DeviceConfig{});
    EventLog log = read_event_log(device.event_image().data(), device.event_image().size());
    PlotView v = full_view(log, 14);
    test::TempDir dir;
    FILE* file = std::fopen(dir.path("plot.png").c_str(), "wb");
    ASSERT_TRUE(file);
    EXPECT_EQ(write_plot_png(file, 900, 560, log, v), 1);
    std::fclose(file);
    Picture png(dir.path("plot.png"));
    ASSERT_EQ(png.width(), 900);
    ASSERT_EQ(png.height(), 560);
    PlotFrame f = plot_frame(log, v, 900, 560);
    // A point of every series is drawn where it belongs (the lines may cross: some of them).
    for (size_t n : {500u, 1500u, 3000u}) {
        const Event& e = log.events[n];
        int drawn = 0, series = 0;
        for (int ch = 0; ch < 10; ++ch)
            if (log.channels >> ch & 1) {
                ++series;
                drawn += png.near(x_of(f, v, e.record.timestamp),
                                  y_of(f, e.record.readings[static_cast<size_t>(ch)]),
                                  channel_colour(ch));
            }
        EXPECT_GE(drawn, series / 2) << "event " << n;
    }
    // A relay's row is filled where it is closed and empty where it is open (away from its
    // edges, which are smoothed: some events share a pixel).
    for (size_t n = 10; n + 10 < log.valid_count; ++n)
        for (int r = 0; r < 2; ++r) {
            auto closed = [&log, r](size_t k) { return log.events[k].record.relays >> r & 1; };
            bool steady = true;
            for (size_t k = n - 10; k <= n + 10; ++k)
                steady = steady && closed(k) == closed(n);
            if (!steady)
                continue;
            EXPECT_EQ(png.near(x_of(f, v, log.events[n].record.timestamp),
                               f.strip_top + (r + 0.5) * f.row, RELAY_COLOUR, 0),
                      closed(n))
                << "event " << n << " relay " << r + 1;
        }
    EXPECT_EQ(png.at(0, 0), 0xFFFFFFu);
}

TEST(EventPlot, ZoomAndPanStayInsideTheLog) {
    EventLog log;
    log.valid_count = 1;
    log.first = 1000000;
    log.last = 1000000 + 3600000; // one hour
    PlotView all = full_view(log, 3);
    EXPECT_EQ(all.from, log.first);
    EXPECT_EQ(all.to, log.last);
    uint64_t middle = log.first + 1800000;
    PlotView in = zoom_view(all, log, 0.5, middle);
    EXPECT_EQ(in.to - in.from, 1800000u);
    EXPECT_EQ(in.from, log.first + 900000); // the time under the pointer stays
    EXPECT_EQ(zoom_view(in, log, 4, middle).from, log.first);
    EXPECT_EQ(zoom_view(in, log, 4, middle).to, log.last);
    EXPECT_EQ(zoom_view(all, log, 1e-6, middle).to - zoom_view(all, log, 1e-6, middle).from,
              MIN_VIEW_MS);
    EXPECT_EQ(pan_view(in, log, 10000000).to, log.last);
    EXPECT_EQ(pan_view(in, log, -10000000).from, log.first);
    PlotView range = range_view(all, log, log.first + 600000, log.first + 300000);
    EXPECT_EQ(range.from, log.first + 300000);
    EXPECT_EQ(range.to, log.first + 600000);
}

class EventViewer : public test::GuiTest {
  protected:
    void TearDown() override {
        if (GtkWidget* w = current_event_viewer())
            gtk_widget_destroy(w);
        serial_close();
        GuiTest::TearDown();
    }
};

// Through the window: the download, the table without the erased records, the plot on screen,
// zoom and the table's selection, and both exports from the records already downloaded.
TEST_F(EventViewer, ShowsZoomsAndExportsTheDownloadedEvents) {
    test::SimHarness sim({"--baud", "0", "--relays", "6", "--events", "3000"});
    ASSERT_TRUE(sim.started());
    test::TempDir dir;
    test::load_main_window(variant_full);
    init_registers();
    gtk_toggle_tool_button_set_active(GTK_TOGGLE_TOOL_BUTTON(test::widget("Connect")), TRUE);
    sim.clear_log();
    gtk_menu_item_activate(GTK_MENU_ITEM(test::widget("menu_viewevents")));
    test::flush_events();
    ASSERT_EQ(test::messages(), std::vector<std::string>{});
    EXPECT_EQ(sim.log(), std::vector<std::string>{"R 65504 1"});
    EXPECT_EQ(test::status_text(), "Finished downloading events.");
    GtkWidget* window = current_event_viewer();
    ASSERT_NE(window, nullptr);
    GtkWidget* area = event_viewer_part(window, "events_plot");
    GtkTreeView* table = GTK_TREE_VIEW(event_viewer_part(window, "events_table"));
    EXPECT_EQ(gtk_tree_model_iter_n_children(gtk_tree_view_get_model(table), nullptr), 3000);

    // Drawn on the screen: more than the background in the chart.
    gdk_window_process_all_updates();
    GdkPixbuf* shown =
        gdk_pixbuf_get_from_drawable(nullptr, area->window, nullptr, 0, 0, 0, 0,
                                     area->allocation.width, area->allocation.height);
    ASSERT_NE(shown, nullptr);
    const guchar* pixels = gdk_pixbuf_get_pixels(shown);
    int coloured = 0;
    for (int y = 0; y < gdk_pixbuf_get_height(shown); ++y)
        for (int x = 0; x < gdk_pixbuf_get_width(shown); ++x) {
            const guchar* p =
                pixels + y * gdk_pixbuf_get_rowstride(shown) + x * gdk_pixbuf_get_n_channels(shown);
            coloured += p[0] != p[1] || p[1] != p[2];
        }
    g_object_unref(shown);
    EXPECT_GT(coloured, 5000);

    // The wheel zooms in around the pointer.
    uint64_t from = 0, to = 0;
    ASSERT_TRUE(event_viewer_range(window, &from, &to));
    uint64_t whole = to - from;
    GdkEvent* scroll = gdk_event_new(GDK_SCROLL);
    scroll->scroll.window = GDK_WINDOW(g_object_ref(area->window));
    scroll->scroll.direction = GDK_SCROLL_UP;
    scroll->scroll.x = area->allocation.width / 2.0;
    gtk_widget_event(area, scroll);
    gdk_event_free(scroll);
    ASSERT_TRUE(event_viewer_range(window, &from, &to));
    EXPECT_LT(to - from, whole);
    // Choosing a row outside the range brings the range to its time.
    GtkTreePath* first = gtk_tree_path_new_from_indices(0, -1);
    gtk_tree_selection_select_path(gtk_tree_view_get_selection(table), first);
    gtk_tree_path_free(first);
    uint64_t zoomed_from = from;
    ASSERT_TRUE(event_viewer_range(window, &from, &to));
    EXPECT_LT(from, zoomed_from);

    auto press = [window](const char* name) {
        return [window, name] { gtk_button_clicked(GTK_BUTTON(event_viewer_part(window, name))); };
    };
    test::choose(press("events_picture"), dir.path("plot.png"));
    Picture png(dir.path("plot.png"));
    EXPECT_EQ(png.width(), area->allocation.width);
    EXPECT_EQ(png.height(), area->allocation.height);
    test::choose(press("events_export"), dir.path("viewer.csv"));
    EXPECT_EQ(sim.log().size(), 1u) << "the viewer exports what it has";
    test::choose("menu_events", dir.path("menu.csv"));
    EXPECT_EQ(test::slurp(dir.path("viewer.csv")), test::slurp(dir.path("menu.csv")));
    EXPECT_EQ(test::messages(), std::vector<std::string>{});
}

} // namespace
