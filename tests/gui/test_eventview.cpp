// The event viewer: the log read from an event memory, zoom, and through the window against
// kelvra-sim the plot on screen and in its picture, the table in step with it, and the exports.
#include "base/gmem.h"
#include "device.h"
#include "gui/eventview.h"
#include "gui/params.h"
#include "link/serial.h"
#include "plot/eventplot.h"
#include "support/sim_harness.h"
#include "support/window.h"

#include <algorithm>
#include <cmath>
#include <gdk/gdkkeysyms.h>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>

namespace {

using Bytes = std::vector<uint8_t>;

// A record at `ms` with every reading `celsius`.
void put_record(Bytes& dump, size_t n, uint64_t ms, uint8_t celsius) {
    uint8_t* r = dump.data() + n * EVENT_RECORD_SIZE;
    for (int i = 0; i < 6; ++i)
        r[i] = static_cast<uint8_t>(ms >> (8 * i));
    std::fill(r + 6, r + 16, celsius);
}

// The last input reads 0 in every valid record: it has no series.
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
    for (size_t n : {0, 1, 4})
        dump[n * EVENT_RECORD_SIZE + 15] = 0;
    EventLog log = read_event_log(dump.data(), dump.size());
    std::vector<size_t> order;
    for (const Event& e : log.events)
        order.push_back(e.index);
    EXPECT_EQ(order, (std::vector<size_t>{4, 5, 0, 1, 3}));
    EXPECT_EQ(log.valid_count, 4u);
    EXPECT_EQ(std::pair(log.first, log.last), std::pair(BASE + MIN, BASE + 11 * MIN));
    EXPECT_EQ(log.channels, 0x1FF);
    EXPECT_TRUE(read_event_log(dump.data(), dump.size() - 1).events.empty());
}

TEST(EventPlot, ZoomAndPanStayInsideTheLog) {
    const EventLog log{{}, 1, 0, 1000000, 1000000 + 3600000}; // an hour
    auto span = [](const PlotView& v) { return std::pair(v.from, v.to); };
    const uint64_t first = log.first, middle = first + 1800000;
    PlotView all = full_view(log, 3), in = zoom_view(all, log, 0.5, middle);
    EXPECT_EQ(span(all), std::pair(first, log.last));
    EXPECT_EQ(span(in), std::pair(first + 900000, first + 2700000)) << "the time under the pointer";
    EXPECT_EQ(span(zoom_view(in, log, 4, middle)), span(all));
    PlotView least = zoom_view(all, log, 1e-6, middle);
    EXPECT_EQ(least.to - least.from, MIN_VIEW_MS);
    EXPECT_EQ(pan_view(in, log, 10000000).to, log.last);
    EXPECT_EQ(pan_view(in, log, -10000000).from, first);
    EXPECT_EQ(span(range_view(all, log, first + 600000, first + 300000)),
              std::pair(first + 300000, first + 600000));
}

// For spans from a minute to the clock's whole range, at a narrow and a wide plot, the time
// labels keep apart and at least two are shown; a step of a day or more starts on a calendar
// day, month or year and its labels begin with the year (GLib's calendar is the judge).
TEST(EventPlot, TimeLabelsKeepApartAndNameTheYear) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
    cairo_t* cr = cairo_create(surface);
    constexpr uint64_t MIN = 60000, DAY = 1440 * MIN, LAST = (uint64_t{1} << 32) * 1000 - 1;
    auto text = [](uint64_t t, const char* format) {
        GDateTime* d = g_date_time_new_from_unix_utc(static_cast<gint64>(t / 1000));
        std::string s = GCharPtr(g_date_time_format(d, format)).get();
        g_date_time_unref(d);
        return s;
    };
    std::vector<uint64_t> spans;
    for (uint64_t span = MIN; span < LAST; span = span * 7 / 4)
        spans.push_back(span);
    spans.push_back(LAST);
    for (int width : {420, 1100})
        for (uint64_t span : spans)
            for (uint64_t from : {uint64_t{0}, uint64_t{1735689600000} + 12345678, LAST - span}) {
                if (from > LAST - span)
                    continue;
                const EventLog log{{}, 0, 0, from, from + span};
                PlotView v = full_view(log, 0);
                TimeAxis axis = time_axis_layout(cr, plot_frame(log, v, width, 400), v);
                SCOPED_TRACE(std::to_string(width) + " px, " + text(from, "%F %T") + " + " +
                             std::to_string(span / MIN) + " min, step " +
                             std::to_string(axis.step_ms) + " ms");
                ASSERT_GE(axis.ticks.size(), 2u);
                for (size_t i = 0; i < axis.ticks.size(); ++i) {
                    const TimeTick& tick = axis.ticks[i];
                    EXPECT_TRUE(tick.t >= v.from && tick.t <= v.to) << tick.label;
                    if (i > 0) {
                        EXPECT_GE(tick.label_left - axis.ticks[i - 1].label_right, TICK_LABEL_GAP)
                            << axis.ticks[i - 1].label << " / " << tick.label;
                    }
                    if (axis.step_ms < DAY)
                        continue;
                    EXPECT_EQ(tick.label.substr(0, 4), text(tick.t, "%Y"));
                    EXPECT_EQ(text(tick.t, "%T"), "00:00:00") << tick.label;
                    // Months and years start on the first.
                    std::string month_day = text(tick.t, "%m-%d");
                    if (axis.step_ms >= 365 * DAY) {
                        EXPECT_EQ(month_day, "01-01") << tick.label;
                    } else if (axis.step_ms >= 28 * DAY) {
                        EXPECT_EQ(month_day.substr(3), "01") << tick.label;
                    }
                }
            }
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
}

// The pixels of a picture: a PNG file, or what a window shows.
struct Picture {
    GdkPixbuf* pixbuf;
    explicit Picture(GdkPixbuf* p) : pixbuf(p) {}
    ~Picture() { g_object_unref(pixbuf); }
    std::pair<int, int> size() const {
        return {gdk_pixbuf_get_width(pixbuf), gdk_pixbuf_get_height(pixbuf)};
    }
    const guchar* at(int x, int y) const {
        return gdk_pixbuf_get_pixels(pixbuf) + y * gdk_pixbuf_get_rowstride(pixbuf) +
               x * gdk_pixbuf_get_n_channels(pixbuf);
    }
    // Whether a pixel within `r` of (x, y) has about this colour.
    bool near(double x, double y, Colour c, int r = 2) const {
        for (int dy = -r; dy <= r; ++dy)
            for (int dx = -r; dx <= r; ++dx) {
                const guchar* p = at(static_cast<int>(x) + dx, static_cast<int>(y) + dy);
                auto off = [p](int i, double want) { return std::abs(p[i] - 255 * want); };
                if (off(0, c.r) + off(1, c.g) + off(2, c.b) < 40)
                    return true;
            }
        return false;
    }
};

class EventViewer : public test::GuiTest {};

// A press of the viewer's button of that name.
std::function<void()> press(GtkWidget* window, const char* name) {
    return [window, name] { gtk_button_clicked(GTK_BUTTON(event_viewer_part(window, name))); };
}

// The download, the table without the erased records, the plot on screen and in its picture,
// zoom and the table's selection, and the export from the records already downloaded.
TEST_F(EventViewer, ShowsZoomsAndExportsTheDownloadedEvents) {
    test::SimHarness sim({"--baud", "0", "--relays", "6", "--events", "3000"});
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
    test::choose(press(window, "events_picture"), dir.path("plot.png"));
    Picture png(gdk_pixbuf_new_from_file(dir.path("plot.png").c_str(), nullptr));
    EXPECT_EQ(png.at(0, 0)[0] & png.at(0, 0)[1] & png.at(0, 0)[2], 255);
    sim::Device device({6, OPTION_EVENTS, sim::Variant::full, 3000});
    EventLog log = read_event_log(device.event_image().data(), device.event_image().size());
    PlotView v = full_view(log, 6);
    v.title = plot_title({}, log); // the dates, above the charts
    PlotFrame f = plot_frame(log, v, png.size().first, png.size().second);
    // Twice the series of which a point is drawn where it belongs (the lines may cross: some of
    // them), less twice the series.
    auto drawn = [&](const Picture& p, size_t n) {
        int balance = 0;
        for (int ch = 0; ch < 10; ++ch)
            if (log.channels >> ch & 1)
                balance += p.near(x_of(f, v, log.events[n].record.timestamp),
                                  y_of(f, log.events[n].record.readings[static_cast<size_t>(ch)]),
                                  channel_colour(ch))
                               ? 1
                               : -1;
        return balance;
    };
    auto least = [&](const Picture& p) {
        return std::min({drawn(p, 500), drawn(p, 1500), drawn(p, 2500)});
    };
    // On the screen once the server has shown the window and asked for all its contents, which on
    // a loaded machine takes a while and may come in parts.
    std::optional<Picture> screen;
    for (int i = 0; i < 250 && (!screen || least(*screen) < 0); ++i, g_usleep(20 * 1000)) {
        gdk_display_sync(gdk_display_get_default());
        test::flush_events();
        gdk_window_process_all_updates();
        screen.emplace(gdk_pixbuf_get_from_drawable(nullptr, area->window, nullptr, 0, 0, 0, 0,
                                                    area->allocation.width,
                                                    area->allocation.height));
    }
    ASSERT_EQ(png.size(), screen->size());
    for (const Picture* p : {&*screen, &png})
        EXPECT_GE(least(*p), 0) << (p == &png ? "in the picture" : "on the screen");
    // A relay's row is filled where it is closed and empty where it is open (away from its
    // edges, which are smoothed: some events share a pixel).
    for (size_t n = 10; n + 10 < log.valid_count; ++n)
        for (int r = 0; r < 2; ++r) {
            auto closed = [r](const Event& e) { return (e.record.relays >> r & 1) != 0; };
            const Event* e = &log.events[n];
            if (!std::all_of(e - 10, e + 11,
                             [&](const Event& o) { return closed(o) == closed(*e); }))
                continue;
            EXPECT_EQ(png.near(x_of(f, v, e->record.timestamp), f.strip_top + (r + 0.5) * f.row,
                               RELAY_COLOUR, 0),
                      closed(*e))
                << "event " << n << " relay " << r + 1;
        }

    // The wheel zooms in around the pointer.
    // Up, at the middle of the plot's width.
    GdkEventScroll up{GDK_SCROLL,    area->window, FALSE, 0, area->allocation.width / 2.0, 0, 0,
                      GDK_SCROLL_UP, nullptr,      0,     0};
    gtk_widget_event(area, reinterpret_cast<GdkEvent*>(&up));
    uint64_t from = 0, to = 0;
    ASSERT_TRUE(event_viewer_range(window, &from, &to));
    EXPECT_LT(to - from, log.last - log.first);
    // Choosing a row outside the range brings the range to its time.
    GtkTreePath* first = gtk_tree_path_new_first();
    gtk_tree_selection_select_path(gtk_tree_view_get_selection(table), first);
    gtk_tree_path_free(first);
    uint64_t zoomed_from = from;
    ASSERT_TRUE(event_viewer_range(window, &from, &to));
    EXPECT_LT(from, zoomed_from);

    test::choose(press(window, "events_export"), dir.path("viewer.csv"));
    EXPECT_EQ(sim.log().size(), 1u) << "the viewer exports what it has";
    test::choose("menu_events", dir.path("menu.csv"));
    EXPECT_EQ(test::slurp(dir.path("viewer.csv")), test::slurp(dir.path("menu.csv")));
    EXPECT_EQ(test::messages(), std::vector<std::string>{});
    gtk_widget_destroy(window);
    controller.close();
}

// A pointer event on the plot, as X delivers it.
void pointer(GtkWidget* area, GdkEventType type, double x, guint button = 1, guint state = 0) {
    GdkEvent* e = gdk_event_new(type);
    if (type == GDK_MOTION_NOTIFY) {
        e->motion.window = GDK_WINDOW(g_object_ref(area->window));
        e->motion.x = x;
        e->motion.y = 100;
        e->motion.state = state | GDK_BUTTON1_MASK;
    } else {
        e->button.window = GDK_WINDOW(g_object_ref(area->window));
        e->button.x = x;
        e->button.y = 100;
        e->button.button = button;
        e->button.state = state;
    }
    gtk_widget_event(area, e);
    gdk_event_free(e);
}
void click(GtkWidget* area, double x, guint button = 1) {
    pointer(area, GDK_BUTTON_PRESS, x, button);
    pointer(area, GDK_BUTTON_RELEASE, x, button);
}
void drag(GtkWidget* area, double from, double to, guint button = 1, guint state = 0) {
    pointer(area, GDK_BUTTON_PRESS, from, button, state);
    for (int i = 1; i <= 4; ++i)
        pointer(area, GDK_MOTION_NOTIFY, from + (to - from) * i / 4, button, state);
    pointer(area, GDK_BUTTON_RELEASE, to, button, state);
}

// An asset's merged history (no dump) through the real window: cursors placed and moved by the
// pointer and the read-out's figures between them, the band zoom and the pan, the export in the
// layout that explains itself, and the window closed by Escape and by Close.
TEST_F(EventViewer, CursorsReadOutWhatChangedBetweenThem) {
    constexpr uint64_t MIN = 60000, BASE = 1735689600000ULL; // 2025-01-01
    // Record i: RTD1 20 + i, oil 90 - i; relay 1 closed in the second five of every ten, relay 2
    // always, relay 3 never.
    EventSource source;
    source.about.asset = "site12";
    source.about.serial = "FT12AB";
    source.about.relays = 3;
    for (int i = 0; i < 60; ++i) {
        EventRecord r{BASE + static_cast<uint64_t>(i) * MIN, {}, 0};
        r.readings[0] = static_cast<uint8_t>(20 + i);
        r.readings[6] = static_cast<uint8_t>(90 - i);
        r.relays = static_cast<uint16_t>((i / 5 % 2) | 2);
        source.records.push_back(r);
    }
    const std::vector<EventRecord> records = source.records;
    test::TempDir dir;
    GtkWidget* window = open_event_viewer(source);
    test::flush_events();
    EXPECT_EQ(std::string(gtk_window_get_title(GTK_WINDOW(window))),
              "Events \u2014 site12 (FT12AB) \u2014 2025-01-01");
    GtkWidget* area = event_viewer_part(window, "events_plot");
    GtkTreeView* table = GTK_TREE_VIEW(event_viewer_part(window, "events_table"));
    EXPECT_EQ(gtk_tree_model_iter_n_children(gtk_tree_view_get_model(table), nullptr), 60);
    const EventLog log = make_event_log(records);
    PlotView v = full_view(log, 3);
    auto x = [&](double record) {
        PlotFrame f = plot_frame(log, v, area->allocation.width, area->allocation.height);
        return x_of(f, v, BASE + static_cast<uint64_t>(record * MIN));
    };
    // The read-out's rows by their first word, and its first and last lines.
    auto readout = [window] {
        std::map<std::string, std::vector<std::string>> rows;
        std::string text =
            gtk_label_get_text(GTK_LABEL(event_viewer_part(window, "events_cursors")));
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream words(line);
            std::vector<std::string> row{std::istream_iterator<std::string>(words), {}};
            if (!row.empty())
                rows[row[0]] = row;
        }
        rows["first"] = {text.substr(0, text.find('\n'))};
        rows["last"] = {text.substr(text.rfind('\n') + 1)};
        return rows;
    };
    using Row = std::vector<std::string>;
    // A at record 40, then B at 10: the figures run from the earlier cursor to the later.
    click(area, x(40));
    click(area, x(10));
    auto rows = readout();
    EXPECT_EQ(rows["first"][0], "A 2025-01-01 00:40:00.000   B 2025-01-01 00:10:00.000   span "
                                "00:30:00.00, 31 records");
    EXPECT_EQ(rows["°C"], (Row{"°C", "RTD1", "Oil"}));
    EXPECT_EQ(rows["change"], (Row{"change", "+30", "-30"}));
    EXPECT_EQ(rows["min"], (Row{"min", "30", "50"}));
    EXPECT_EQ(rows["max"], (Row{"max", "60", "80"}));
    EXPECT_EQ(rows["mean"], (Row{"mean", "45.0", "65.0"}));
    EXPECT_EQ(rows["last"][0], "Closings (Open → Closed) per relay:  1: 3  2: 0  3: 0");
    GtkTreeModel* model = nullptr;
    GtkTreeIter row;
    ASSERT_TRUE(gtk_tree_selection_get_selected(gtk_tree_view_get_selection(table), &model, &row));
    guint selected = 99;
    gtk_tree_model_get(model, &row, 0, &selected, -1);
    EXPECT_EQ(selected, 10u) << "a click finds the row";

    // B dragged from record 10 to 20 moves B alone, and not the plot.
    drag(area, x(10) + 2, x(20));
    rows = readout();
    EXPECT_EQ(rows["first"][0], "A 2025-01-01 00:40:00.000   B 2025-01-01 00:20:00.000   span "
                                "00:20:00.00, 21 records");
    EXPECT_EQ(rows["change"], (Row{"change", "+20", "-20"}));
    EXPECT_EQ(rows["mean"], (Row{"mean", "50.0", "60.0"}));
    EXPECT_EQ(rows["last"][0], "Closings (Open → Closed) per relay:  1: 2  2: 0  3: 0");
    uint64_t from = 0, to = 0;
    ASSERT_TRUE(event_viewer_range(window, &from, &to));
    EXPECT_EQ(std::pair(from, to), std::pair(log.first, log.last));

    // Ctrl+drag zooms to the band; a plain drag then moves the plot the other way.
    drag(area, x(30), x(50), 1, GDK_CONTROL_MASK);
    ASSERT_TRUE(event_viewer_range(window, &v.from, &v.to));
    EXPECT_NEAR(static_cast<double>(v.from - BASE) / MIN, 30, 0.5);
    EXPECT_NEAR(static_cast<double>(v.to - BASE) / MIN, 50, 0.5);
    drag(area, x(45), x(40));
    ASSERT_TRUE(event_viewer_range(window, &from, &to));
    EXPECT_NEAR(static_cast<double>(from - v.from) / MIN, 5, 0.5);
    // A right click takes both cursors away.
    click(area, x(40), 3);
    EXPECT_EQ(readout()["first"][0], "Click the plot to place cursor A, and again for cursor B.");

    test::choose(press(window, "events_export"), dir.path("history.csv"));
    EventFileHeader about;
    std::vector<EventRecord> back;
    std::string error;
    ASSERT_TRUE(read_event_file(test::slurp(dir.path("history.csv")), &about, &back, &error))
        << error;
    EXPECT_EQ(std::pair(about.asset, about.serial),
              std::pair(source.about.asset, source.about.serial));
    EXPECT_EQ(event_iso_text(about, back), event_iso_text(about, records)) << "the same records";

    // Escape closes the window, and so does Close.
    GdkEvent* escape = gdk_event_new(GDK_KEY_PRESS);
    escape->key.window = GDK_WINDOW(g_object_ref(window->window));
    escape->key.keyval = GDK_Escape;
    gtk_widget_event(window, escape);
    gdk_event_free(escape);
    EXPECT_EQ(current_event_viewer(), nullptr);
    window = open_event_viewer(source);
    gtk_button_clicked(GTK_BUTTON(event_viewer_part(window, "events_close")));
    EXPECT_EQ(current_event_viewer(), nullptr);
    EXPECT_EQ(test::messages(), std::vector<std::string>{});
}

} // namespace
