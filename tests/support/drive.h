// Driving the real window from the outside, as a user does, for the tests and the session tool:
// its widgets and tool buttons, the dialogs standing over it, and answers to file choosers given
// from inside the choosers' own loops. No test framework: failures come back as text.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <gtk/gtk.h>
#include <string>
#include <vector>

namespace drive {

// The loaded main window's widget of that name; a press of a tool button through its button.
GtkWidget* widget(const char* name);
void click(const char* name);

// Runs the main loop until nothing is pending.
void flush_events();

// Visible dialogs standing now; the text of a dialog's first label; those texts for all.
std::vector<GtkWidget*> standing_dialogs();
std::string dialog_text(GtkWidget* dialog);
std::vector<std::string> messages();
// Answers and destroys every standing dialog.
void close_dialogs();
// What the status bar says.
std::string status_text();
// What the register widgets hold at these addresses; those that hold no value are left out.
std::map<int, uint16_t> register_values(const std::vector<uint16_t>& addresses);

// Answers the next file chooser, which `open` shows, with `file` (none: cancel), once the chooser
// has read its folder in the background and reports the file. `accepting` sees the chooser just
// before it is accepted. Empty when it went so, else what went wrong.
std::string choose(const std::function<void()>& open, const std::string& file,
                   const std::function<void(GtkWidget*)>& accepting = {});

// Answers the next dialog of that name (its widget name) that `act` runs with `response`, once
// `inspect` (when given) has looked at it; false when none came.
bool respond(const std::function<void()>& act, const char* dialog, int response,
             const std::function<void(GtkWidget*)>& inspect = {});

} // namespace drive
