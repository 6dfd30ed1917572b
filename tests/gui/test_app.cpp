// The shell: interface-file search, catalogue folder, two-digit times, About, the programs' runs
// as a whole and their command line, and the user guide's pictures.
#include "gui/config.h"
#include "gui/params.h"
#include "support/window.h"

#include <filesystem>
#include <glib/gstdio.h>
#include <regex>
#include <set>
#include <sys/wait.h>
#include <tuple>

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

// A fresh working folder, left again at the end.
struct InScratch : test::TempDir {
    fs::path old = fs::current_path();
    InScratch() { fs::current_path(path()); }
    ~InScratch() { fs::current_path(old); }
    void file(const std::string& name, const std::string& text) const {
        fs::create_directories(fs::path(path(name)).parent_path());
        test::put(path(name), text);
    }
};

class ShellTest : public test::GuiTest {};

// A run of the whole program in this process, as `kelvra [FILE]`, and what it showed once its
// window was up; it then ended on a close request or through Quit.
struct ProgramRun {
    const Variant* variant;
    std::string file;
    bool by_close_request, download_sensitive = true;
    std::string title{}, clock{}, remembered{};
    uint16_t value = 0;
    Lines messages{};
};

gboolean look_and_end(gpointer data) {
    auto* r = static_cast<ProgramRun*>(data);
    GtkWidget* main_window = test::widget("kelvra_main");
    EXPECT_TRUE(GTK_WIDGET_VISIBLE(main_window));
    r->title = gtk_window_get_title(GTK_WINDOW(main_window));
    r->clock = gtk_label_get_text(GTK_LABEL(test::widget("HMSLabel")));
    r->download_sensitive = GTK_WIDGET_SENSITIVE(test::widget("Download"));
    r->value = test::register_values({1})[1];
    r->remembered = config_filename ? config_filename : "";
    r->messages = test::messages();
    test::close_dialogs();
    if (r->by_close_request) {
        GdkEvent* ev = gdk_event_new(GDK_DELETE);
        ev->any.window = GDK_WINDOW(g_object_ref(main_window->window));
        gtk_main_do_event(ev);
        gdk_event_free(ev);
    } else {
        gtk_menu_item_activate(GTK_MENU_ITEM(test::widget("menu_quit")));
    }
    return FALSE;
}

int run_in_process(ProgramRun& r) {
    g_timeout_add(1500, look_and_end, &r);
    return kelvra_run(*r.variant, r.file.empty() ? nullptr : r.file.c_str());
}

} // namespace

TEST(Search, FirstInterfaceFolderThatLoadsWinsAndCatalogueFolder) {
    InScratch dir;
    auto title = [](std::initializer_list<const char*> folders) -> std::string {
        GladeXML* xml = glade_load("main.glade", folders);
        if (!xml)
            return "(none)";
        std::string t = gtk_window_get_title(GTK_WINDOW(glade_xml_get_widget(xml, "kelvra_main")));
        g_object_unref(xml);
        return t;
    };
    for (std::string folder : {"first", "second"})
        dir.file(folder + "/main.glade",
                 R"(<glade-interface><widget class="GtkWindow" id="kelvra_main">)"
                 "<property name=\"title\">" +
                     folder + "</property></widget></glade-interface>");
    dir.file("third/main.glade/x", ""); // a directory of that name is not a file
    EXPECT_EQ(title({"first/", "second/"}), "first");
    EXPECT_EQ(title({"third/", "second/"}), "second");
    EXPECT_EQ(title({"third/", "none/"}), "(none)");
    // A first copy that does not load does not stop the search.
    dir.file("first/main.glade", "<glade-interface><widget class=");
    EXPECT_EQ(title({"first/", "second/"}), "second");

    // The build's catalogues under share/locale count only as a folder.
    EXPECT_STREQ(locale_dir(), "/usr/share/locale");
    dir.file("share/locale", "not a folder");
    EXPECT_STREQ(locale_dir(), "/usr/share/locale");
    g_remove("share/locale");
    g_mkdir_with_parents("share/locale", 0755);
    EXPECT_STREQ(locale_dir(), "share/locale");
}

// The clock label reads 09:05:03, not 9:5:3, and 21:05:03, not 09:05:03.
TEST(Clock, ShowsTwoDigits) {
    std::tm t{};
    std::tie(t.tm_hour, t.tm_min, t.tm_sec) = std::tuple(9, 5, 3);
    EXPECT_EQ(clock_text(t), "09:05:03");
    t.tm_hour = 21;
    EXPECT_EQ(clock_text(t), "21:05:03");
}

// About stands over the window and its own close button ends it. Without its file it reports
// and the program goes on: ending there would lose the parameters shown in the window.
TEST_F(ShellTest, AboutClosesAndWithoutItsFileReports) {
    test::load_main_window(variant_full);
    test::respond([] { on_menu_about_activate(nullptr, nullptr); }, "kelvra_about",
                  GTK_RESPONSE_CANCEL,
                  [](GtkWidget* d) {
                      EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(d)),
                                GTK_WINDOW(test::widget("kelvra_main")));
                      EXPECT_STREQ(gtk_about_dialog_get_version(GTK_ABOUT_DIALOG(d)), "1.0");
                      // The response of the close button it has.
                      GtkWidget* close =
                          gtk_dialog_get_widget_for_response(GTK_DIALOG(d), GTK_RESPONSE_CANCEL);
                      EXPECT_TRUE(close && GTK_WIDGET_VISIBLE(close)) << "no close button";
                  });
    test::flush_events();
    EXPECT_TRUE(test::standing_dialogs().empty());
    // Where there is no ui/, unless an installed copy would be found.
    if (g_file_test("/usr/share/ostrel/ui/kelvra_about.glade", G_FILE_TEST_EXISTS))
        return;
    InScratch dir;
    on_menu_about_activate(nullptr, nullptr);
    EXPECT_EQ(test::messages(), Lines{"Error: cannot load interface file kelvra_about.glade."});
}

// `kelvra FILE.cfg` starts with the file loaded as Open loads it, its faults said the same way.
TEST_F(ShellTest, ProgramsShowTheirWindowWithTheFileAndEnd) {
    test::TempDir dir;
    test::put(dir.path("a.cfg"), "<configuration version=\"1.0\"><device name=\"varnel\">"
                                 "<parameter type=\"uint16\" address=\"1\">95</parameter>"
                                 "</device></configuration>");
    ProgramRun rtd{&variant_rtd, dir.path("a.cfg"), true},
        full{&variant_full, dir.path("a.cfg"), false};
    EXPECT_EQ(run_in_process(rtd), 0);
    // Then in Spanish, from the build's own catalogues under share/locale.
    ASSERT_TRUE(g_file_test("share/locale/es/LC_MESSAGES/kelvra.mo", G_FILE_TEST_IS_REGULAR));
    g_setenv("LANG", "C.UTF-8", TRUE);
    g_setenv("LANGUAGE", "es", TRUE);
    EXPECT_EQ(run_in_process(full), 0);
    g_unsetenv("LANGUAGE"); // later tests in this process read the untranslated texts again
    setlocale(LC_ALL, "C");
    EXPECT_EQ(glade_xml, nullptr) << "the interface is dropped after the loop";
    for (const ProgramRun* r : {&rtd, &full}) {
        EXPECT_TRUE(std::regex_match(r->clock, std::regex("[0-2][0-9]:[0-5][0-9]:[0-5][0-9]")))
            << "the clock ticks: " << r->clock;
        EXPECT_FALSE(r->download_sensitive) << "nothing that needs a device before Connect";
    }
    EXPECT_EQ(rtd.messages, Lines{"The file is a configuration for kelvra, not for kelvra0."});
    EXPECT_EQ(full.title, "Controlador de temperatura de transformador");
    EXPECT_EQ(full.value, 95);
    EXPECT_EQ(full.remembered, dir.path("a.cfg")) << "offered again by Save";
    EXPECT_EQ(full.messages, Lines{});
}

// Without an interface file the programs fail, naming the file; --version and --help need no
// display.
TEST(CommandLine, ProgramsAnswerOnTheirCommandLine) {
    const bool installed = g_file_test("/usr/share/ostrel/ui/kelvra.glade", G_FILE_TEST_EXISTS);
    g_setenv("PATH", (test::binary_path("") + ":" + g_getenv("PATH")).c_str(), TRUE);
    InScratch dir; // no ui/ here
    const struct {
        const char* command;
        int status;
        std::string out, err;
    } cases[] = {
        {"kelvra", 1, "", "Error: cannot load interface file kelvra.glade.\n"},
        {"kelvra0", 1, "", "Error: cannot load interface file kelvra0.glade.\n"},
        {"env -u DISPLAY kelvra0 --version", 0, "kelvra0 1.0.0\n", ""},
        {"env -u DISPLAY kelvra0 --help", 0, "Usage:\n  kelvra0 [OPTION…] [FILE.cfg]\n", ""},
        {"env -u DISPLAY kelvra0 a.cfg b.cfg", 2, "",
         "kelvra0: Only one configuration file can be opened.\n"},
        {"env -u DISPLAY kelvra0 --colour", 2, "", "kelvra0: Unknown option --colour\n"},
    };
    for (const auto& c : cases) {
        if (c.status == 1 && installed)
            continue; // an installed copy would be found
        gchar *out = nullptr, *err = nullptr;
        int wait = 0;
        ASSERT_TRUE(g_spawn_command_line_sync(c.command, &out, &err, &wait, nullptr));
        EXPECT_EQ(WIFEXITED(wait) ? WEXITSTATUS(wait) : -1, c.status) << c.command;
        EXPECT_EQ(std::string(out).substr(0, c.out.size()), c.out) << c.command;
        EXPECT_EQ(err, c.err) << c.command;
        g_free(out);
        g_free(err);
    }
}

// The guide shows every picture docs/screenshots.sh takes, and only those it has.
TEST(UserGuide, PicturesInStepWithTheirFiles) {
    std::string guide = test::slurp(test::source_path("docs/user-guide.md"));
    std::set<std::string> shown, files;
    std::regex picture(R"(\]\(images/([^)]+\.png)\))");
    for (auto m = std::sregex_iterator(guide.begin(), guide.end(), picture);
         m != std::sregex_iterator(); ++m)
        shown.insert((*m)[1]);
    for (const auto& f : fs::directory_iterator(test::source_path("docs/images")))
        files.insert(f.path().filename().string());
    EXPECT_EQ(shown, files);
}
