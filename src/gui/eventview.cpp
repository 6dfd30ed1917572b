#include "gui/eventview.h"

#include "base/gmem.h"
#include "formats/eventlog.h"
#include "formats/safefile.h"
#include "gui/window.h"
#include "plot/eventplot.h"
#include "text/messages.h"

#include <cmath>
#include <glib/gi18n.h>
#include <memory>
#include <string>

namespace {

struct Viewer {
    std::vector<uint8_t> dump;
    EventLog log;
    PlotView view;
    GtkWidget* window = nullptr;
    GtkWidget* area = nullptr;
    GtkWidget* tree = nullptr;
    GtkWidget* readout = nullptr;
    // A press on the plot: where, with which button, and whether it has become a drag.
    int button = 0;
    double press_x = 0, last_x = 0;
    bool dragged = false;
};

GtkWidget* last_viewer = nullptr;

constexpr int TIME_COLUMN = 0;
constexpr int FIRST_READING = 1;
constexpr int FIRST_RELAY = FIRST_READING + 10;
constexpr double DRAG_PIXELS = 4;

PlotFrame frame_of(const Viewer& v) {
    return plot_frame(v.log, v.view, v.area->allocation.width, v.area->allocation.height);
}

void redraw(Viewer& v) {
    gtk_widget_queue_draw(v.area);
}

// The text of one cell: the CSV's, and for a record whose time stamp the clock cannot have, the
// word that says so.
void cell_text(GtkTreeViewColumn*, GtkCellRenderer* cell, GtkTreeModel* model, GtkTreeIter* iter,
               gpointer data) {
    int column = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(cell), "column"));
    guint row = 0;
    gtk_tree_model_get(model, iter, 0, &row, -1);
    const Event& e = static_cast<Viewer*>(data)->log.events[row];
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
    GtkListStore* store = gtk_list_store_new(1, G_TYPE_UINT);
    // Filled before the view sees it: one number a row, the text made only for the rows shown.
    for (guint i = 0; i < v.log.events.size(); ++i) {
        GtkTreeIter iter;
        gtk_list_store_insert_with_values(store, &iter, -1, 0, i, -1);
    }
    GtkWidget* tree = gtk_tree_view_new_with_model(GTK_TREE_MODEL(store));
    g_object_unref(store);
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
    // Every row has the same height: the view need not measure 3584 of them.
    gtk_tree_view_set_fixed_height_mode(GTK_TREE_VIEW(tree), TRUE);
    return tree;
}

void show_readout(Viewer& v, double x) {
    const Event* e = nearest_event(v.log, time_at(frame_of(v), v.view, x));
    if (!e)
        return;
    std::string text = event_time_text(e->record.timestamp) + "   ";
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

void select_event(Viewer& v, const Event* e) {
    GtkTreePath* path =
        gtk_tree_path_new_from_indices(static_cast<int>(e - v.log.events.data()), -1);
    gtk_tree_selection_select_path(gtk_tree_view_get_selection(GTK_TREE_VIEW(v.tree)), path);
    gtk_tree_view_scroll_to_cell(GTK_TREE_VIEW(v.tree), path, nullptr, FALSE, 0, 0);
    gtk_tree_path_free(path);
}

gboolean on_expose(GtkWidget* area, GdkEventExpose* event, gpointer data) {
    auto* v = static_cast<Viewer*>(data);
    cairo_t* cr = gdk_cairo_create(area->window);
    gdk_cairo_region(cr, event->region);
    cairo_clip(cr);
    draw_event_plot(cr, area->allocation.width, area->allocation.height, v->log, v->view);
    cairo_destroy(cr);
    return TRUE;
}

gboolean on_press(GtkWidget*, GdkEventButton* event, gpointer data) {
    auto* v = static_cast<Viewer*>(data);
    if (event->type != GDK_BUTTON_PRESS)
        return FALSE;
    v->button = static_cast<int>(event->button);
    v->press_x = v->last_x = event->x;
    v->dragged = false;
    return TRUE;
}

gboolean on_motion(GtkWidget*, GdkEventMotion* event, gpointer data) {
    auto* v = static_cast<Viewer*>(data);
    show_readout(*v, event->x);
    if (!v->button)
        return TRUE;
    v->dragged = v->dragged || std::abs(event->x - v->press_x) > DRAG_PIXELS;
    if (!v->dragged)
        return TRUE;
    PlotFrame f = frame_of(*v);
    bool pan = v->button != 1 || (event->state & GDK_SHIFT_MASK);
    if (pan) { // the plot follows the pointer
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
    PlotFrame f = frame_of(*v);
    if (v->view.banded) {
        v->view.banded = false;
        v->view = range_view(v->view, v->log, time_at(f, v->view, v->press_x),
                             time_at(f, v->view, event->x));
        redraw(*v);
    } else if (!v->dragged && v->button == 1) {
        if (const Event* e = nearest_event(v->log, time_at(f, v->view, event->x)))
            select_event(*v, e);
    }
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
        guint row = 0;
        gtk_tree_model_get(model, &iter, 0, &row, -1);
        const Event& e = v->log.events[row];
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
    full.marked = v->view.marked;
    full.mark = v->view.mark;
    v->view = full;
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
    if (!out.stream() || !write_event_csv(out.stream(), v->dump.data(), v->dump.size()) ||
        !out.commit())
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
    g_signal_connect(b, "clicked", handler, v);
    return b;
}

} // namespace

GtkWidget* new_picture_chooser(GtkWindow* parent) {
    return new_file_chooser(_("Save Picture"), parent, GTK_FILE_CHOOSER_ACTION_SAVE, "*.png",
                            "untitled.png");
}

GtkWidget* open_event_viewer(std::vector<uint8_t> dump, int relays) {
    auto* v = new Viewer;
    v->dump = std::move(dump);
    v->log = read_event_log(v->dump.data(), v->dump.size());
    v->view = full_view(v->log, relays);

    v->window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_widget_set_name(v->window, "events_window");
    gtk_window_set_title(GTK_WINDOW(v->window), _("Events"));
    gtk_window_set_default_size(GTK_WINDOW(v->window), 1100, 780);
    if (GtkWindow* main = main_window())
        gtk_window_set_transient_for(GTK_WINDOW(v->window), main);
    g_object_set_data_full(G_OBJECT(v->window), "viewer", v, [](gpointer p) {
        auto* viewer = static_cast<Viewer*>(p);
        if (last_viewer == viewer->window)
            last_viewer = nullptr;
        delete viewer;
    });
    last_viewer = v->window;

    GtkWidget* commands = gtk_hbox_new(FALSE, 6);
    gtk_container_set_border_width(GTK_CONTAINER(commands), 6);
    gtk_box_pack_start(
        GTK_BOX(commands),
        button("events_reset", GTK_STOCK_ZOOM_100, _("_Whole Range"), G_CALLBACK(on_reset), v),
        FALSE, FALSE, 0);
    gtk_box_pack_end(
        GTK_BOX(commands),
        button("events_picture", GTK_STOCK_SAVE_AS, _("Save _Picture…"), G_CALLBACK(on_picture), v),
        FALSE, FALSE, 0);
    gtk_box_pack_end(
        GTK_BOX(commands),
        button("events_export", GTK_STOCK_SAVE, _("_Export CSV…"), G_CALLBACK(on_export), v), FALSE,
        FALSE, 0);
    GtkWidget* hint = gtk_label_new(
        _("Wheel: zoom. Drag: zoom to a range. Right drag or Shift: move. Click: find the row."));
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
    GtkWidget* panes = gtk_vpaned_new();
    gtk_paned_pack1(GTK_PANED(panes), top, TRUE, FALSE);
    gtk_paned_pack2(GTK_PANED(panes), scroller, TRUE, TRUE);
    gtk_paned_set_position(GTK_PANED(panes), 480);

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
