#include "gui/eventview.h"

#include "base/gmem.h"
#include "formats/eventlog.h"
#include "formats/safefile.h"
#include "gui/window.h"
#include "plot/eventplot.h"
#include "text/messages.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <gdk/gdkkeysyms.h>
#include <glib/gi18n.h>
#include <memory>
#include <string>

namespace {

// The table's model: row i is event i of the log. Rows are implicit, so a merged history of
// tens of thousands of records opens without a store to fill.
struct RowModel {
    GObject parent;
    gint n;
    gint stamp;
};
struct RowModelClass {
    GObjectClass parent;
};
void row_model_interface(GtkTreeModelIface* iface);
G_DEFINE_TYPE_WITH_CODE(RowModel, row_model, G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(GTK_TYPE_TREE_MODEL, row_model_interface))
void row_model_class_init(RowModelClass*) {}
void row_model_init(RowModel* m) {
    m->stamp = g_random_int();
}

RowModel* rows_of(GtkTreeModel* model) {
    return G_TYPE_CHECK_INSTANCE_CAST(model, row_model_get_type(), RowModel);
}
gboolean row_iter(GtkTreeModel* model, GtkTreeIter* iter, gint row) {
    RowModel* m = rows_of(model);
    iter->stamp = m->stamp;
    iter->user_data = GINT_TO_POINTER(row);
    return row >= 0 && row < m->n;
}
gint row_of(const GtkTreeIter* iter) {
    return GPOINTER_TO_INT(iter->user_data);
}

void row_model_interface(GtkTreeModelIface* iface) {
    iface->get_flags = [](GtkTreeModel*) {
        return static_cast<GtkTreeModelFlags>(GTK_TREE_MODEL_LIST_ONLY |
                                              GTK_TREE_MODEL_ITERS_PERSIST);
    };
    iface->get_n_columns = [](GtkTreeModel*) { return 1; };
    iface->get_column_type = [](GtkTreeModel*, gint) { return G_TYPE_UINT; };
    iface->get_iter = [](GtkTreeModel* model, GtkTreeIter* iter, GtkTreePath* path) -> gboolean {
        return gtk_tree_path_get_depth(path) == 1 &&
               row_iter(model, iter, gtk_tree_path_get_indices(path)[0]);
    };
    iface->get_path = [](GtkTreeModel*, GtkTreeIter* iter) {
        return gtk_tree_path_new_from_indices(row_of(iter), -1);
    };
    iface->get_value = [](GtkTreeModel*, GtkTreeIter* iter, gint, GValue* value) {
        g_value_init(value, G_TYPE_UINT);
        g_value_set_uint(value, static_cast<guint>(row_of(iter)));
    };
    iface->iter_next = [](GtkTreeModel* model, GtkTreeIter* iter) {
        return row_iter(model, iter, row_of(iter) + 1);
    };
    iface->iter_children = [](GtkTreeModel* model, GtkTreeIter* iter,
                              GtkTreeIter* parent) -> gboolean {
        return !parent && row_iter(model, iter, 0);
    };
    iface->iter_has_child = [](GtkTreeModel*, GtkTreeIter*) { return FALSE; };
    iface->iter_n_children = [](GtkTreeModel* model, GtkTreeIter* iter) {
        return iter ? 0 : rows_of(model)->n;
    };
    iface->iter_nth_child = [](GtkTreeModel* model, GtkTreeIter* iter, GtkTreeIter* parent,
                               gint n) -> gboolean { return !parent && row_iter(model, iter, n); };
    iface->iter_parent = [](GtkTreeModel*, GtkTreeIter*, GtkTreeIter*) { return FALSE; };
}

struct Viewer {
    EventSource source;
    EventLog log;
    PlotView view;
    GtkWidget* window = nullptr;
    GtkWidget* area = nullptr;
    GtkWidget* tree = nullptr;
    GtkWidget* readout = nullptr;
    GtkWidget* between = nullptr;
    // A press on the plot: where, with which button, what it does, and whether it has become a
    // drag.
    enum class Gesture { none, click, pan, band, cursor };
    Gesture gesture = Gesture::none;
    int button = 0, grabbed = -1;
    double press_x = 0, last_x = 0;
    bool dragged = false;
    // The charts as last drawn, kept on the X server: the pointer's moves redraw only the marks.
    cairo_surface_t* charts = nullptr;
    uint64_t charts_from = 0, charts_to = 0;
    int charts_width = 0, charts_height = 0;

    ~Viewer() {
        if (charts)
            cairo_surface_destroy(charts);
    }
};

GtkWidget* last_viewer = nullptr;

constexpr int TIME_COLUMN = 0;
constexpr int FIRST_READING = 1;
constexpr int FIRST_RELAY = FIRST_READING + 10;
constexpr double DRAG_PIXELS = 4;
// How near a press must be to a cursor to take hold of it.
constexpr double GRAB_PIXELS = 6;

PlotFrame frame_of(const Viewer& v) {
    return plot_frame(v.log, v.view, v.area->allocation.width, v.area->allocation.height);
}

void redraw(Viewer& v) {
    gtk_widget_queue_draw(v.area);
}

// The text of one cell: the CSV's, and for a record whose time stamp the clock cannot have, the
// word that says so.
void cell_text(GtkTreeViewColumn*, GtkCellRenderer* cell, GtkTreeModel*, GtkTreeIter* iter,
               gpointer data) {
    int column = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(cell), "column"));
    const Event& e = static_cast<Viewer*>(data)->log.events[static_cast<size_t>(row_of(iter))];
    std::string text;
    if (column == TIME_COLUMN)
        text = e.valid ? event_time_text(e.record.timestamp) : _("invalid time");
    else if (column < FIRST_RELAY)
        text = std::to_string(e.record.readings[static_cast<size_t>(column - FIRST_READING)]);
    else
        text = (e.record.relays >> (column - FIRST_RELAY) & 1) ? "Closed" : "Open";
    g_object_set(cell, "text", text.c_str(), nullptr);
}

GtkWidget* new_table(Viewer& v) {
    auto* model = static_cast<RowModel*>(g_object_new(row_model_get_type(), nullptr));
    model->n = static_cast<gint>(v.log.events.size());
    GtkWidget* tree = gtk_tree_view_new_with_model(GTK_TREE_MODEL(model));
    g_object_unref(model);
    gtk_widget_set_name(tree, "events_table");
    gtk_tree_view_set_rules_hint(GTK_TREE_VIEW(tree), TRUE);
    // The CSV's own header names the columns.
    GStrv names =
        g_strsplit(g_strchomp(GCharPtr(g_strdup(event_csv_header().c_str())).get()), ",", -1);
    for (int c = 0; names[c]; ++c) {
        GtkCellRenderer* cell = gtk_cell_renderer_text_new();
        GtkTreeViewColumn* column = gtk_tree_view_column_new();
        gtk_tree_view_column_set_title(column, names[c]);
        gtk_tree_view_column_pack_start(column, cell, TRUE);
        g_object_set_data(G_OBJECT(cell), "column", GINT_TO_POINTER(c));
        gtk_tree_view_column_set_cell_data_func(column, cell, cell_text, &v, nullptr);
        gtk_tree_view_column_set_sizing(column, GTK_TREE_VIEW_COLUMN_FIXED);
        gtk_tree_view_column_set_fixed_width(column, c == TIME_COLUMN  ? 180
                                                     : c < FIRST_RELAY ? 56
                                                                       : 64);
        gtk_tree_view_append_column(GTK_TREE_VIEW(tree), column);
    }
    g_strfreev(names);
    // Every row has the same height: the view need not measure each of them.
    gtk_tree_view_set_fixed_height_mode(GTK_TREE_VIEW(tree), TRUE);
    return tree;
}

// "2025-01-08 07:47:33.830": a time of the controller's clock with its year, for the read-outs
// (the table keeps the CSV's own).
std::string clock_text(uint64_t ms) {
    std::string iso = iso_event_time(ms, 0);
    iso[iso.find('T')] = ' ';
    return iso.substr(0, iso.size() - 6); // the offset: the clock has none
}

void show_readout(Viewer& v, double x) {
    const Event* e = nearest_event(v.log, time_at(frame_of(v), v.view, x));
    if (!e)
        return;
    std::string text = clock_text(e->record.timestamp) + "   ";
    for (int ch = 0; ch < 10; ++ch)
        if (v.log.channels >> ch & 1)
            text += std::string(EVENT_CHANNEL_NAMES[ch]) + " " +
                    std::to_string(e->record.readings[static_cast<size_t>(ch)]) + " °C   ";
    std::string closed;
    for (int r = 0; r < v.view.relays; ++r)
        if (e->record.relays >> r & 1)
            closed += (closed.empty() ? "" : ", ") + std::to_string(r + 1);
    // TRANSLATORS: followed by the numbers of the relays that are closed.
    text += std::string(_("Closed:")) + " " + (closed.empty() ? "-" : closed);
    gtk_label_set_text(GTK_LABEL(v.readout), text.c_str());
}

// "2 d 03:04:05.06": a length of time to the hundredth, as the controller's clock counts.
std::string span_text(uint64_t ms) {
    uint64_t days = ms / 86400000, rest = ms % 86400000;
    char text[64];
    g_snprintf(text, sizeof text, "%02u:%02u:%02u.%02u", static_cast<unsigned>(rest / 3600000),
               static_cast<unsigned>(rest / 60000 % 60), static_cast<unsigned>(rest / 1000 % 60),
               static_cast<unsigned>(rest / 10 % 100));
    return days ? std::to_string(days) + " d " + text : text;
}

// A cell of the read-out's table, right-aligned in its column.
std::string cell(const std::string& text, size_t width) {
    // Counted in characters: "°C" is one column on screen.
    auto length = static_cast<size_t>(g_utf8_strlen(text.c_str(), -1));
    return std::string(width > length ? width - length : 0, ' ') + text;
}

// What changed between the cursors: the span; for each series its change (the reading at the
// later cursor less that at the earlier), lowest, highest and mean over the records from one
// cursor to the other; each relay's closings among them.
void show_between(Viewer& v) {
    const PlotView& view = v.view;
    std::string text;
    if (!view.cursor_set[0] && !view.cursor_set[1]) {
        text = _("Click the plot to place cursor A, and again for cursor B.");
    } else if (!view.cursor_set[1] || !view.cursor_set[0]) {
        int c = view.cursor_set[0] ? 0 : 1;
        GCharPtr said(g_strdup_printf(_("Cursor %s at %s. Click again for the other cursor."),
                                      c == 0 ? "A" : "B", clock_text(view.cursor[c]).c_str()));
        text = said.get();
    } else {
        uint64_t a = view.cursor[0], b = view.cursor[1];
        uint64_t early = std::min(a, b), late = std::max(a, b);
        auto [first, last] = events_between(v.log, early, late);
        auto lo = v.log.events.begin() + static_cast<long>(first);
        auto hi = v.log.events.begin() + static_cast<long>(last);
        size_t count = last - first;
        GCharPtr head(g_strdup_printf(
            // TRANSLATORS: the cursors' times, the time between them, and how many records lie
            // between them (both ends included).
            ngettext("A %s   B %s   span %s, %zu record", "A %s   B %s   span %s, %zu records",
                     count),
            clock_text(a).c_str(), clock_text(b).c_str(), span_text(late - early).c_str(), count));
        text = head.get();
        if (count > 0) {
            std::string rows[5];
            const char* names[5] = {"°C", _("change"), _("min"), _("max"), _("mean")};
            size_t first = 0;
            for (const char* n : names)
                first = std::max(first, static_cast<size_t>(g_utf8_strlen(n, -1)));
            for (int r = 0; r < 5; ++r)
                rows[r] = names[r] + std::string(first - g_utf8_strlen(names[r], -1), ' ');
            for (size_t ch = 0; ch < 10; ++ch) {
                if (!(v.log.channels >> ch & 1))
                    continue;
                int low = 255, high = 0;
                uint64_t sum = 0;
                for (auto e = lo; e != hi; ++e) {
                    int value = e->record.readings[ch];
                    low = std::min(low, value);
                    high = std::max(high, value);
                    sum += static_cast<uint64_t>(value);
                }
                int change = hi[-1].record.readings[ch] - lo->record.readings[ch];
                char mean[32];
                g_snprintf(mean, sizeof mean, "%.1f",
                           static_cast<double>(sum) / static_cast<double>(count));
                std::string values[5] = {EVENT_CHANNEL_NAMES[ch],
                                         (change > 0 ? "+" : "") + std::to_string(change),
                                         std::to_string(low), std::to_string(high), mean};
                for (int r = 0; r < 5; ++r)
                    rows[r] += cell(values[r], 8);
            }
            if (v.log.channels)
                for (const std::string& row : rows)
                    text += "\n" + row;
            if (view.relays > 0) {
                // TRANSLATORS: followed by "relay: count" for each relay.
                text += "\n" + std::string(_("Closings (Open → Closed) per relay:"));
                for (int r = 0; r < view.relays; ++r) {
                    int closings = 0;
                    for (auto e = lo; e + 1 < hi; ++e)
                        closings += !(e->record.relays >> r & 1) && (e[1].record.relays >> r & 1);
                    text += "  " + std::to_string(r + 1) + ": " + std::to_string(closings);
                }
            }
        }
    }
    // Always as many lines as the whole table, so the plot above keeps its height.
    int lines = 1 + (v.log.channels ? 5 : 0) + (view.relays > 0 ? 1 : 0);
    for (int n = static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1; n < lines; ++n)
        text += '\n';
    gtk_label_set_text(GTK_LABEL(v.between), text.c_str());
}

void select_event(Viewer& v, const Event* e) {
    GtkTreePath* path =
        gtk_tree_path_new_from_indices(static_cast<int>(e - v.log.events.data()), -1);
    gtk_tree_selection_select_path(gtk_tree_view_get_selection(GTK_TREE_VIEW(v.tree)), path);
    gtk_tree_view_scroll_to_cell(GTK_TREE_VIEW(v.tree), path, nullptr, FALSE, 0, 0);
    gtk_tree_path_free(path);
}

// The charts, drawn again only when the range or the size changed: drawn on the client (cairo's
// image code is fast) and handed to the server once.
cairo_surface_t* charts_of(Viewer& v) {
    int width = v.area->allocation.width, height = v.area->allocation.height;
    if (v.charts && v.charts_from == v.view.from && v.charts_to == v.view.to &&
        v.charts_width == width && v.charts_height == height)
        return v.charts;
    if (v.charts)
        cairo_surface_destroy(v.charts);
    cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
    cairo_t* cr = cairo_create(image);
    draw_plot_charts(cr, width, height, v.log, v.view);
    cairo_destroy(cr);
    v.charts =
        gdk_window_create_similar_surface(v.area->window, CAIRO_CONTENT_COLOR, width, height);
    cr = cairo_create(v.charts);
    cairo_set_source_surface(cr, image, 0, 0);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_surface_destroy(image);
    v.charts_from = v.view.from;
    v.charts_to = v.view.to;
    v.charts_width = width;
    v.charts_height = height;
    return v.charts;
}

gboolean on_expose(GtkWidget* area, GdkEventExpose* event, gpointer data) {
    auto* v = static_cast<Viewer*>(data);
    cairo_surface_t* charts = charts_of(*v);
    cairo_t* cr = gdk_cairo_create(area->window);
    gdk_cairo_region(cr, event->region);
    cairo_clip(cr);
    cairo_set_source_surface(cr, charts, 0, 0);
    cairo_paint(cr);
    draw_plot_marks(cr, area->allocation.width, area->allocation.height, v->log, v->view);
    cairo_destroy(cr);
    return TRUE;
}

// The cursor placed at the event nearest to x: cursor `c`, or when -1 the one not placed yet,
// else the nearer.
void place_cursor(Viewer& v, int c, double x) {
    PlotFrame f = frame_of(v);
    const Event* e = nearest_event(v.log, time_at(f, v.view, x));
    if (!e)
        return;
    PlotView& view = v.view;
    if (c < 0)
        c = !view.cursor_set[0]   ? 0
            : !view.cursor_set[1] ? 1
                                  : (std::abs(x_of(f, view, view.cursor[0]) - x) <=
                                             std::abs(x_of(f, view, view.cursor[1]) - x)
                                         ? 0
                                         : 1);
    view.cursor_set[c] = true;
    view.cursor[c] = e->record.timestamp;
    show_between(v);
    redraw(v);
}

// The placed cursor within reach of x; -1 when none is.
int cursor_at(const Viewer& v, double x) {
    PlotFrame f = frame_of(v);
    int found = -1;
    double best = GRAB_PIXELS;
    for (int c = 0; c < 2; ++c) {
        if (!v.view.cursor_set[c] || v.view.cursor[c] < v.view.from || v.view.cursor[c] > v.view.to)
            continue;
        double off = std::abs(x_of(f, v.view, v.view.cursor[c]) - x);
        if (off <= best) {
            best = off;
            found = c;
        }
    }
    return found;
}

gboolean on_press(GtkWidget*, GdkEventButton* event, gpointer data) {
    auto* v = static_cast<Viewer*>(data);
    if (event->type != GDK_BUTTON_PRESS)
        return FALSE;
    using G = Viewer::Gesture;
    v->button = static_cast<int>(event->button);
    v->press_x = v->last_x = event->x;
    v->dragged = false;
    v->grabbed = -1;
    if (v->button == 2 || (v->button == 1 && (event->state & GDK_CONTROL_MASK)))
        v->gesture = G::band;
    else if (v->button == 3 || (event->state & GDK_SHIFT_MASK))
        v->gesture = G::pan;
    else if (v->button == 1 && (v->grabbed = cursor_at(*v, event->x)) >= 0)
        v->gesture = G::cursor;
    else
        v->gesture = v->button == 1 ? G::click : G::none;
    return TRUE;
}

gboolean on_motion(GtkWidget*, GdkEventMotion* event, gpointer data) {
    auto* v = static_cast<Viewer*>(data);
    show_readout(*v, event->x);
    using G = Viewer::Gesture;
    if (v->gesture == G::none)
        return TRUE;
    v->dragged = v->dragged || std::abs(event->x - v->press_x) > DRAG_PIXELS;
    if (v->gesture == G::cursor) {
        place_cursor(*v, v->grabbed, event->x);
        return TRUE;
    }
    if (!v->dragged)
        return TRUE;
    // A plain drag away from the cursors moves the plot.
    if (v->gesture == G::click)
        v->gesture = G::pan;
    if (v->gesture == G::pan) { // the plot follows the pointer
        PlotFrame f = frame_of(*v);
        int64_t by = static_cast<int64_t>(time_at(f, v->view, v->last_x)) -
                     static_cast<int64_t>(time_at(f, v->view, event->x));
        v->view = pan_view(v->view, v->log, by);
    } else {
        v->view.banded = true;
        v->view.band_from = v->press_x;
        v->view.band_to = event->x;
    }
    v->last_x = event->x;
    redraw(*v);
    return TRUE;
}

gboolean on_release(GtkWidget*, GdkEventButton* event, gpointer data) {
    auto* v = static_cast<Viewer*>(data);
    using G = Viewer::Gesture;
    PlotFrame f = frame_of(*v);
    if (v->view.banded) {
        v->view.banded = false;
        v->view = range_view(v->view, v->log, time_at(f, v->view, v->press_x),
                             time_at(f, v->view, event->x));
        redraw(*v);
    } else if (!v->dragged && (v->gesture == G::click || v->gesture == G::cursor)) {
        // A click places a cursor and finds the row.
        place_cursor(*v, v->gesture == G::cursor ? v->grabbed : -1, event->x);
        if (const Event* e = nearest_event(v->log, time_at(f, v->view, event->x)))
            select_event(*v, e);
    } else if (!v->dragged && v->button == 3) {
        v->view.cursor_set[0] = v->view.cursor_set[1] = false;
        show_between(*v);
        redraw(*v);
    }
    v->gesture = G::none;
    v->button = 0;
    return TRUE;
}

gboolean on_scroll(GtkWidget*, GdkEventScroll* event, gpointer data) {
    auto* v = static_cast<Viewer*>(data);
    PlotFrame f = frame_of(*v);
    uint64_t at = time_at(f, v->view, event->x);
    auto span = static_cast<int64_t>(v->view.to - v->view.from);
    bool sideways = event->state & GDK_SHIFT_MASK;
    switch (event->direction) {
    case GDK_SCROLL_UP:
        v->view =
            sideways ? pan_view(v->view, v->log, -span / 10) : zoom_view(v->view, v->log, 0.8, at);
        break;
    case GDK_SCROLL_DOWN:
        v->view =
            sideways ? pan_view(v->view, v->log, span / 10) : zoom_view(v->view, v->log, 1.25, at);
        break;
    case GDK_SCROLL_LEFT:
        v->view = pan_view(v->view, v->log, -span / 10);
        break;
    case GDK_SCROLL_RIGHT:
        v->view = pan_view(v->view, v->log, span / 10);
        break;
    }
    redraw(*v);
    return TRUE;
}

void on_selection(GtkTreeSelection* selection, gpointer data) {
    auto* v = static_cast<Viewer*>(data);
    GtkTreeModel* model = nullptr;
    GtkTreeIter iter;
    v->view.marked = false;
    if (gtk_tree_selection_get_selected(selection, &model, &iter)) {
        const Event& e = v->log.events[static_cast<size_t>(row_of(&iter))];
        v->view.marked = e.valid;
        v->view.mark = e.record.timestamp;
        // A time outside the range shown brings the range to it.
        if (e.valid && (e.record.timestamp < v->view.from || e.record.timestamp > v->view.to)) {
            uint64_t half = (v->view.to - v->view.from) / 2;
            v->view = pan_view(v->view, v->log,
                               static_cast<int64_t>(e.record.timestamp) -
                                   static_cast<int64_t>(v->view.from + half));
        }
    }
    redraw(*v);
}

void on_reset(GtkButton*, gpointer data) {
    auto* v = static_cast<Viewer*>(data);
    PlotView full = full_view(v->log, v->view.relays);
    v->view.from = full.from;
    v->view.to = full.to;
    redraw(*v);
}

// Runs a chooser and hands over the file accepted; null when none was.
GCharPtr run_chooser(GtkWidget* chooser) {
    gchar* name = run_file_chooser(chooser);
    gtk_widget_destroy(chooser);
    return GCharPtr(name);
}

void on_export(GtkButton*, gpointer data) {
    auto* v = static_cast<Viewer*>(data);
    GtkWidget* chooser = new_events_chooser();
    gtk_window_set_transient_for(GTK_WINDOW(chooser), GTK_WINDOW(v->window));
    GCharPtr name = run_chooser(chooser);
    if (!name)
        return;
    SafeFile out(name.get());
    const EventSource& s = v->source;
    bool written = false;
    if (!out.stream()) {
    } else if (!s.dump.empty()) {
        written = write_event_csv(out.stream(), s.dump.data(), s.dump.size());
    } else {
        std::string text = event_iso_text(s.about, s.records);
        written = std::fwrite(text.data(), 1, text.size(), out.stream()) == text.size();
    }
    if (!written || !out.commit())
        error_dialog(events_write_error_text());
}

void on_picture(GtkButton*, gpointer data) {
    auto* v = static_cast<Viewer*>(data);
    GCharPtr name = run_chooser(new_picture_chooser(GTK_WINDOW(v->window)));
    if (!name)
        return;
    SafeFile out(name.get());
    // The picture is the plot as it stands: its size, its range and its mark.
    if (!out.stream() ||
        !write_plot_png(out.stream(), v->area->allocation.width, v->area->allocation.height, v->log,
                        v->view) ||
        !out.commit())
        error_dialog(picture_write_error_text());
}

GtkWidget* button(const char* name, const char* stock, const char* text, GCallback handler,
                  Viewer* v) {
    GtkWidget* b = gtk_button_new_with_mnemonic(text);
    gtk_button_set_image(GTK_BUTTON(b), gtk_image_new_from_stock(stock, GTK_ICON_SIZE_BUTTON));
    gtk_widget_set_name(b, name);
    if (handler)
        g_signal_connect(b, "clicked", handler, v);
    return b;
}

} // namespace

GtkWidget* new_picture_chooser(GtkWindow* parent) {
    return new_file_chooser(_("Save Picture"), parent, GTK_FILE_CHOOSER_ACTION_SAVE, "*.png",
                            "untitled.png");
}

gboolean on_key(GtkWidget* window, GdkEventKey* event, gpointer) {
    if (event->keyval != GDK_Escape)
        return FALSE;
    gtk_widget_destroy(window);
    return TRUE;
}

GtkWidget* open_event_viewer(EventSource source) {
    auto* v = new Viewer;
    v->source = std::move(source);
    const EventSource& s = v->source;
    v->log =
        s.dump.empty() ? make_event_log(s.records) : read_event_log(s.dump.data(), s.dump.size());
    v->view = full_view(v->log, s.about.relays);
    v->view.title = plot_title(s.about, v->log);

    v->window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_widget_set_name(v->window, "events_window");
    std::string title = _("Events");
    gtk_window_set_title(
        GTK_WINDOW(v->window),
        (v->view.title.empty() ? title : title + " \u2014 " + v->view.title).c_str());
    gtk_window_set_default_size(GTK_WINDOW(v->window), 1100, 820);
    if (GtkWindow* main = main_window())
        gtk_window_set_transient_for(GTK_WINDOW(v->window), main);
    g_object_set_data_full(G_OBJECT(v->window), "viewer", v, [](gpointer p) {
        auto* viewer = static_cast<Viewer*>(p);
        if (last_viewer == viewer->window)
            last_viewer = nullptr;
        delete viewer;
    });
    g_signal_connect(v->window, "key-press-event", G_CALLBACK(on_key), nullptr);
    last_viewer = v->window;

    GtkWidget* commands = gtk_hbox_new(FALSE, 6);
    gtk_container_set_border_width(GTK_CONTAINER(commands), 6);
    gtk_box_pack_start(
        GTK_BOX(commands),
        button("events_reset", GTK_STOCK_ZOOM_100, _("_Whole Range"), G_CALLBACK(on_reset), v),
        FALSE, FALSE, 0);
    GtkWidget* close = button("events_close", GTK_STOCK_CLOSE, _("_Close"), nullptr, v);
    g_signal_connect_swapped(close, "clicked", G_CALLBACK(gtk_widget_destroy), v->window);
    gtk_box_pack_end(GTK_BOX(commands), close, FALSE, FALSE, 0);
    gtk_box_pack_end(
        GTK_BOX(commands),
        button("events_picture", GTK_STOCK_SAVE_AS, _("Save _Picture…"), G_CALLBACK(on_picture), v),
        FALSE, FALSE, 0);
    gtk_box_pack_end(
        GTK_BOX(commands),
        button("events_export", GTK_STOCK_SAVE, _("_Export CSV…"), G_CALLBACK(on_export), v), FALSE,
        FALSE, 0);
    GtkWidget* hint = gtk_label_new(
        _("Click: cursor A, B (and the row). Drag a cursor to move it; right click: none. "
          "Drag: move. Ctrl+drag or middle drag: zoom to a range. Wheel: zoom."));
    gtk_label_set_line_wrap(GTK_LABEL(hint), TRUE);
    gtk_box_pack_start(GTK_BOX(commands), hint, FALSE, FALSE, 12);

    v->area = gtk_drawing_area_new();
    gtk_widget_set_name(v->area, "events_plot");
    gtk_widget_set_size_request(v->area, 600, 360);
    gtk_widget_add_events(v->area, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK |
                                       GDK_POINTER_MOTION_MASK | GDK_SCROLL_MASK);
    g_signal_connect(v->area, "expose-event", G_CALLBACK(on_expose), v);
    g_signal_connect(v->area, "button-press-event", G_CALLBACK(on_press), v);
    g_signal_connect(v->area, "motion-notify-event", G_CALLBACK(on_motion), v);
    g_signal_connect(v->area, "button-release-event", G_CALLBACK(on_release), v);
    g_signal_connect(v->area, "scroll-event", G_CALLBACK(on_scroll), v);

    v->readout = gtk_label_new("");
    gtk_widget_set_name(v->readout, "events_readout");
    gtk_misc_set_alignment(GTK_MISC(v->readout), 0, 0.5);
    gtk_misc_set_padding(GTK_MISC(v->readout), 6, 3);
    v->between = gtk_label_new("");
    gtk_widget_set_name(v->between, "events_cursors");
    gtk_misc_set_alignment(GTK_MISC(v->between), 0, 0);
    gtk_misc_set_padding(GTK_MISC(v->between), 6, 3);
    gtk_label_set_selectable(GTK_LABEL(v->between), TRUE);
    // A table in columns of characters.
    PangoFontDescription* mono = pango_font_description_from_string("Monospace");
    gtk_widget_modify_font(v->between, mono);
    pango_font_description_free(mono);
    show_between(*v);

    v->tree = new_table(*v);
    g_signal_connect(gtk_tree_view_get_selection(GTK_TREE_VIEW(v->tree)), "changed",
                     G_CALLBACK(on_selection), v);
    GtkWidget* scroller = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_AUTOMATIC,
                                   GTK_POLICY_AUTOMATIC);
    gtk_container_add(GTK_CONTAINER(scroller), v->tree);

    GtkWidget* top = gtk_vbox_new(FALSE, 0);
    gtk_box_pack_start(GTK_BOX(top), v->area, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(top), v->readout, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(top), v->between, FALSE, FALSE, 0);
    GtkWidget* panes = gtk_vpaned_new();
    gtk_paned_pack1(GTK_PANED(panes), top, TRUE, FALSE);
    gtk_paned_pack2(GTK_PANED(panes), scroller, TRUE, TRUE);
    gtk_paned_set_position(GTK_PANED(panes), 600);

    GtkWidget* layout = gtk_vbox_new(FALSE, 0);
    gtk_box_pack_start(GTK_BOX(layout), commands, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(layout), panes, TRUE, TRUE, 0);
    gtk_container_add(GTK_CONTAINER(v->window), layout);
    gtk_widget_show_all(v->window);
    return v->window;
}

GtkWidget* current_event_viewer() {
    return last_viewer;
}

GtkWidget* event_viewer_part(GtkWidget* window, const char* name) {
    return window ? find_named_widget(window, name) : nullptr;
}

void zoom_event_viewer(GtkWidget* window, double factor, double share) {
    auto* v = static_cast<Viewer*>(g_object_get_data(G_OBJECT(window), "viewer"));
    if (!v)
        return;
    uint64_t at = time_at(frame_of(*v), v->view, v->area->allocation.width * share);
    v->view = zoom_view(v->view, v->log, factor, at);
    redraw(*v);
}

bool event_viewer_range(GtkWidget* window, uint64_t* from, uint64_t* to) {
    auto* v = static_cast<Viewer*>(g_object_get_data(G_OBJECT(window), "viewer"));
    if (!v)
        return false;
    *from = v->view.from;
    *to = v->view.to;
    return true;
}

GtkWidget* new_events_chooser() {
    return new_file_chooser(_("Save Events to CSV"), nullptr, GTK_FILE_CHOOSER_ACTION_SAVE, "*.csv",
                            "untitled.csv");
}
