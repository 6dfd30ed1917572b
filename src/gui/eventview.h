// The event viewer: a window with the plot of event records and the table of them, kept in step,
// two cursors with what changed between them, and the commands that save them (the CSV from the
// records already at hand, the plot as a picture).
#pragma once

#include "formats/eventcsv.h"

#include <cstdint>
#include <gtk/gtk.h>
#include <vector>

// What a viewer shows. One download keeps its dump, and its export writes the classic layout
// from the dump; records without a dump (an asset's history merged from many downloads) are
// exported in the layout that explains itself, with `about`. The plot has `about.relays` rows.
struct EventSource {
    EventFileHeader about;
    std::vector<EventRecord> records; // not needed when `dump` is given
    std::vector<uint8_t> dump;        // a whole event memory, or empty
};

// Opens a viewer; the window keeps what it shows for as long as it is open. Named
// "events_window"; its parts are "events_plot", "events_table", "events_readout" (the records
// under the pointer), "events_cursors" (what changed between the cursors), "events_reset",
// "events_export", "events_picture" and "events_close".
GtkWidget* open_event_viewer(EventSource source);

// The viewer opened last that is still open; null when none is.
GtkWidget* current_event_viewer();
// A named part of a viewer window (see above); null when it has none of that name.
GtkWidget* event_viewer_part(GtkWidget* window, const char* name);
// Zooms a viewer as the wheel does, by `factor` around the time at `share` of the plot's width.
void zoom_event_viewer(GtkWidget* window, double factor, double share);
// The time range a viewer shows; false for a window that is no viewer.
bool event_viewer_range(GtkWidget* window, uint64_t* from, uint64_t* to);

// The chooser of the event export, from the menu or the viewer (the caller destroys it).
GtkWidget* new_events_chooser();
// The chooser of "Save picture…" (the caller destroys it).
GtkWidget* new_picture_chooser(GtkWindow* parent);
