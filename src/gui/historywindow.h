// The window's asset history: Download and Upload keep versions of the connected controller as
// kelvra-cli does (the asset named in Connection Settings, else its USB serial number), and the
// History dialog lists them, compares one with the window, and restores one through Upload.
#pragma once

#include "history/history.h"
#include "gui/eventview.h"
#include "model/upload.h"

#include <gtk/gtk.h>
#include <string>

// The connected asset: its key (empty when it has no name: then no history is kept), its USB
// serial number and the port or URL it is reached by.
Asset current_asset();
// The connected asset's key.
std::string asset_key();
// Keeps a version of the asset, `body` after its first line: the status bar's addition (""
// when none was kept), or false with the failure shown.
bool keep_version(const Parameters& p, const std::string& action, const std::string& what,
                  std::string* said, const std::string& body = "");
// After an event download: merges its records into the asset's event history, a version; a
// failure is shown. *view gets what the viewer shows then: the asset's whole merged history,
// or, without one, the download itself.
void keep_events(const uint8_t* dump, uint32_t length, EventSource* view = nullptr);
// For Upload: keeps the backup of what the controller held before the first write.
bool keep_backup(const Parameters& held, std::string* why);

extern "C" {
G_MODULE_EXPORT void on_menu_history_activate(GtkMenuItem* item, gpointer data);
}
