// The text domain of every program of the tool: the locale, the catalogue folder and gettext's
// set-up. Free of the toolkit.
#pragma once

constexpr const char* TEXT_DOMAIN = "kelvra";
constexpr const char* SYSTEM_LOCALE_DIR = "/usr/share/locale";

// The catalogue folder: "share/locale" under the working directory when that is a directory.
const char* locale_dir();

// Takes the user's locale and binds the text domain, its messages in UTF-8.
void init_text_domain();
