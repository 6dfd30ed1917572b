#include "text/choices.h"
#include "base/gmem.h"

#include <cstring>
#include <glib/gi18n.h>

namespace {

struct Reading {
    Choices choices;
    std::vector<std::string> combos; // per open widget: its name when it is a combo box
    bool in_items = false;
    bool translatable = false;
    std::string text;
};

const char* attribute(const gchar** names, const gchar** values, const char* wanted) {
    for (int i = 0; names[i]; ++i)
        if (!std::strcmp(names[i], wanted))
            return values[i];
    return nullptr;
}

void start(GMarkupParseContext*, const gchar* element, const gchar** names, const gchar** values,
           gpointer data, GError**) {
    auto* r = static_cast<Reading*>(data);
    if (!std::strcmp(element, "widget")) {
        const char* type = attribute(names, values, "class");
        const char* id = attribute(names, values, "id");
        r->combos.push_back(type && id && !std::strcmp(type, "GtkComboBox") ? id : "");
    } else if (!std::strcmp(element, "property") && !r->combos.empty() &&
               !r->combos.back().empty()) {
        const char* name = attribute(names, values, "name");
        const char* translatable = attribute(names, values, "translatable");
        r->in_items = name && !std::strcmp(name, "items");
        r->translatable = translatable && !std::strcmp(translatable, "yes");
        r->text.clear();
    }
}

void end(GMarkupParseContext*, const gchar* element, gpointer data, GError**) {
    auto* r = static_cast<Reading*>(data);
    if (!std::strcmp(element, "widget") && !r->combos.empty()) {
        r->combos.pop_back();
    } else if (!std::strcmp(element, "property") && r->in_items) {
        r->in_items = false;
        if (r->text.empty())
            return;
        // The rows are translated as one text, as libglade does.
        const char* rows = r->translatable ? _(r->text.c_str()) : r->text.c_str();
        std::vector<std::string>& out = r->choices[r->combos.back()];
        GStrv split = g_strsplit(rows, "\n", -1);
        for (gchar** row = split; *row; ++row)
            out.push_back(*row);
        g_strfreev(split);
    }
}

void text(GMarkupParseContext*, const gchar* text, gsize length, gpointer data, GError**) {
    auto* r = static_cast<Reading*>(data);
    if (r->in_items)
        r->text.append(text, length);
}

} // namespace

Choices read_choices(const char* path) {
    gchar* contents = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(path, &contents, &length, nullptr))
        return {};
    GCharPtr owned(contents);
    static const GMarkupParser parser{start, end, text, nullptr, nullptr};
    Reading reading;
    GMarkupParseContext* context =
        g_markup_parse_context_new(&parser, static_cast<GMarkupParseFlags>(0), &reading, nullptr);
    bool ok =
        g_markup_parse_context_parse(context, contents, static_cast<gssize>(length), nullptr) &&
        g_markup_parse_context_end_parse(context, nullptr);
    g_markup_parse_context_free(context);
    return ok ? reading.choices : Choices{};
}

std::vector<std::string> alternate_activation_choices(int n) {
    char only_low[64], only_high[64], both[128];
    g_snprintf(only_low, sizeof only_low, _("Only %d-%d"), n - 3, n - 2);
    g_snprintf(only_high, sizeof only_high, _("Only %d-%d"), n - 1, n);
    g_snprintf(both, sizeof both, _("%d-%d and %d-%d"), n - 3, n - 2, n - 1, n);
    return {_("Disabled"), only_low, only_high, both};
}
