#include "text/textdomain.h"

#include <clocale>
#include <glib/gi18n.h>

const char* locale_dir() {
    return g_file_test("share/locale", G_FILE_TEST_IS_DIR) ? "share/locale" : SYSTEM_LOCALE_DIR;
}

void init_text_domain() {
    setlocale(LC_ALL, "");
    bindtextdomain(TEXT_DOMAIN, locale_dir());
    bind_textdomain_codeset(TEXT_DOMAIN, "UTF-8");
    textdomain(TEXT_DOMAIN);
}
