// The event viewer: a window with the plot of a downloaded event memory and the table of its
// records, kept in step, and the commands that save them (the CSV from the records already
// downloaded, the plot as a picture).
#pragma once

#include <cstdint>
#include <gtk/gtk.h>
#include <vector>

// Opens a viewer of a whole dump for a controller with `relays` relays; the window keeps the
// dump for as long as it is open. Named "events_window"; its parts are "events_plot",
// "events_table", "events_readout", "events_reset", "events_export" and "events_picture".
GtkWidget* open_event_viewer(std::vector<uint8_t> dump, int relays);

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
