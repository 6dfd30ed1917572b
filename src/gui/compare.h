// Comparing the window's parameters with the connected controller's or a configuration file's,
// and the safety net around Upload: the list of what will change, asked for before anything is
// written, and the read-back of what the controller kept.
#pragma once

#include "model/upload.h"

#include <gtk/gtk.h>
#include <vector>

// Whether Upload asks first; the confirmation's "Do not ask again for this session" clears it.
extern bool confirm_uploads;

// The window's answer to an upload's plan: lists what will change and asks. True when the
// upload is to go ahead; false when it was cancelled or when nothing would change (said so).
bool confirm_upload(const UploadPlan& plan);
// After an upload: shows the values the controller kept instead of those written.
void show_kept(const std::vector<Difference>& kept);

// The dialog listing differences, grouped by the window's pages: "compare_dialog", its table
// "compare_table" (parameter, the window's value, the other's). Without differences it says
// "No differences." instead. With `asking`, it has Cancel and Upload and the check button
// "compare_dont_ask", and the heading stands even when nothing is listed (the clock alone); else
// OK only, and it destroys itself when answered.
GtkWidget* new_differences_dialog(const char* title, const char* heading, const char* theirs,
                                  const std::vector<Difference>& found, bool asking);

extern "C" {
G_MODULE_EXPORT void on_menu_comparedevice_activate(GtkMenuItem* item, gpointer data);
G_MODULE_EXPORT void on_menu_comparefile_activate(GtkMenuItem* item, gpointer data);
}
