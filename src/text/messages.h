// text/: the words both front ends share. The sentences for the failures the rooms below hand
// up as result codes, the text domain, and the row texts of the choices as the interface files
// hold them (read without the toolkit). It uses base/ and GLib only; only gui/ and cli/ use it.
//
// This header: the failure sentences, translated.
#pragma once

#include "link/bridge.h"
#include "link/serial.h"

#include <glib.h>
#include <string>

// The message for a failed request's link result code; null for any other code.
const char* link_failure_text(int code);
const char* not_detected_text();
// What went over a link: counts, bytes each way, response times (minimum, median, maximum).
std::string link_stats_text(const LinkStats& s);
// Said when an event download is interrupted: how long the controller may go on sending.
std::string interrupted_dump_text(uint32_t seconds);
// Said when a line was still sending when it was opened.
std::string drained_text(uint64_t bytes);

// Why the controller's port did not open, naming the port or HOST:PORT.
std::string open_failure_text(const bridge::OpenFailure& why);
const char* no_event_memory_text();
const char* events_over_gateway_text();
const char* config_write_error_text();
const char* events_write_error_text();
const char* picture_write_error_text();
// "Parameter '%s' not defined." and "Cannot open configuration file %s." filled in.
std::string undefined_text(const char* label);
std::string unreadable_text(const char* filename);
// Why a configuration file could not be read: it did not open (no error), could not be read
// (a file error), or the reader's own message, made valid UTF-8.
std::string config_read_error_text(const char* filename, const GError* error);
// The command line's sentences for a file that could not be written or opened: its name and the
// system's reason for `error` (an errno value).
std::string config_write_error_text(const char* filename, int error);
std::string events_write_error_text(const char* filename, int error);
std::string picture_write_error_text(const char* filename, int error);
std::string report_write_error_text(const char* filename, int error);
std::string unreadable_text(const char* filename, int error);

// "The file is a configuration for kelvra0, not for kelvra."
std::string other_variant_file_text(const char* file_program, const char* program);

// The asset history's sayings.
const char* no_history_text();
const char* not_connected_text();
std::string history_error_text(const std::string& detail);

// Refusals and outcomes of an upload.
// The values (a file's, or the window's) are for another variant or layout than the controller.
std::string layout_mismatch_text(bool from_file, const char* program, int relays, const char* port,
                                 const char* device_program, int device_relays,
                                 const char* device_port);
// "%d values are not ones the controller accepts…", and one line per value.
std::string value_faults_text(size_t count);
std::string value_fault_text(const char* label, const char* value, const char* allowed);
// A link failure after some of the writes were done.
std::string partial_upload_text(size_t written, size_t total);
