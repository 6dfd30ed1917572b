// base/: the bottom room, headers only. Owners for what GLib hands out, so no path leaks it. It
// uses GLib and the standard library, nothing else of the project; every other room may use it.
#pragma once

#include <glib.h>
#include <memory>

struct GFreeDeleter {
    void operator()(void* p) const { g_free(p); }
};
template <typename T> using GPtr = std::unique_ptr<T, GFreeDeleter>;
using GCharPtr = GPtr<gchar>;

struct GListDeleter {
    void operator()(GList* l) const { g_list_free(l); }
};
// A list whose elements are not owned.
using GListPtr = std::unique_ptr<GList, GListDeleter>;
