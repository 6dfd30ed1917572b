// The shell: interface-file search, catalogue folder, error dialogs, clock, Quit, close
// request, About, and the programs' start-up as a whole.
#include "gui/config.h"
#include "support/window.h"

#include <filesystem>
#include <fstream>
#include <glib/gstdio.h>
#include <regex>
#include <set>
#include <tuple>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// A scratch working directory, left again at the end.
class ScratchDir {
  public:
    ScratchDir() { EXPECT_EQ(chdir(path_.c_str()), 0); }
    ~ScratchDir() {
        EXPECT_EQ(chdir(old_.c_str()), 0);
        fs::remove_all(path_);
    }
    void file(const std::string& name, const std::string& content) const {
        fs::create_directories((path_ / name).parent_path());
        std::ofstream(path_ / name) << content;
    }
    std::string path() const { return path_; }

  private:
    fs::path old_ = fs::current_path();
    fs::path path_ = [] {
        char tmpl[] = "/tmp/kelvra-test-XXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
};

std::string ui_with_title(const std::string& title) {
    return "<glade-interface><widget class=\"GtkWindow\" id=\"kelvra_main\"><property "
           "name=\"title\">" +
           title + "</property></widget></glade-interface>";
}

struct RunResult {
    int status;
    std::string err;
};

// Runs a built program in a working directory and returns its exit status and stderr.
RunResult run_program(const std::string& program, const std::string& cwd) {
    std::string path = test::binary_path(program);
    gchar* argv[] = {const_cast<gchar*>(path.c_str()), nullptr};
    gchar* err = nullptr;
    gint status = 0;
    GError* error = nullptr;
    gboolean ok = g_spawn_sync(cwd.c_str(), argv, nullptr, G_SPAWN_STDOUT_TO_DEV_NULL, nullptr,
                               nullptr, nullptr, &err, &status, &error);
    EXPECT_TRUE(ok) << (error ? error->message : "");
    if (error)
        g_error_free(error);
    RunResult r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, err ? err : ""};
    g_free(err);
    return r;
}

} // namespace

TEST(InterfaceSearch, FirstFolderThatLoadsWins) {
    ScratchDir dir;
    auto title = [](std::initializer_list<const char*> folders) {
        GladeXML* xml = glade_load("main.glade", folders);
        std::string t =
            xml ? gtk_window_get_title(GTK_WINDOW(glade_xml_get_widget(xml, "kelvra_main")))
                : "(none)";
        if (xml)
            g_object_unref(xml);
        return t;
    };
    dir.file("first/main.glade", ui_with_title("first"));
    dir.file("second/main.glade", ui_with_title("second"));
    dir.file("third/main.glade/x", ""); // a directory of that name is not a file
    EXPECT_EQ(title({"first/", "second/"}), "first");
    EXPECT_EQ(title({"third/", "second/"}), "second");
    EXPECT_EQ(title({"third/", "none/"}), "(none)");
    // A first copy that does not load does not stop the search.
    dir.file("first/main.glade", "<glade-interface><widget class=");
    EXPECT_EQ(title({"first/", "second/"}), "second");
}

TEST(InterfaceSearch, ProgramsWithoutInterfaceFileFailWithTheBareName) {
    if (g_file_test("/usr/share/ostrel/ui/kelvra.glade", G_FILE_TEST_EXISTS))
        GTEST_SKIP() << "an installed copy would be found";
    ScratchDir dir;
    for (const char* program : {"kelvra", "kelvra0"}) {
        RunResult r = run_program(program, dir.path());
        EXPECT_NE(r.status, 0) << program;
        EXPECT_EQ(r.err, std::string("Error: cannot load interface file ") + program + ".glade.\n");
    }
}

TEST(Catalogue, ShareLocaleCountsOnlyAsDirectory) {
    ScratchDir dir;
    EXPECT_STREQ(locale_dir(), "/usr/share/locale");
    dir.file("share/locale", "not a folder");
    EXPECT_STREQ(locale_dir(), "/usr/share/locale");
    g_remove("share/locale");
    g_mkdir_with_parents("share/locale", 0755);
    EXPECT_STREQ(locale_dir(), "share/locale");
}

TEST(Clock, TwoDigitFields) {
    std::tm morning{}, evening{};
    std::tie(morning.tm_hour, morning.tm_min, morning.tm_sec) = std::tuple(9, 5, 3);
    evening.tm_hour = 21;
    EXPECT_EQ(clock_text(morning), "09:05:03");
    EXPECT_EQ(clock_text(evening), "21:00:00");
}

class ShellTest : public test::GuiTest {};

TEST_F(ShellTest, ErrorDialogsStandTogetherWhileTheCallerGoesOn) {
    test::load_main_window(variant_full);
    error_dialog("first failure");
    error_dialog("second failure");
    test::flush_events();
    auto dialogs = test::standing_dialogs();
    ASSERT_EQ(dialogs.size(), 2u);
    GtkWidget* main_window = test::widget("kelvra_main");
    std::vector<std::string> texts;
    for (GtkWidget* d : dialogs) {
        texts.push_back(test::dialog_text(d));
        EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(d)), GTK_WINDOW(main_window));
        EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(d)));
        EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(d)), "Error");
    }
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ(texts, (std::vector<std::string>{"first failure", "second failure"}));

    // Any answer destroys the dialog it was given to, and only that one.
    gtk_dialog_response(GTK_DIALOG(dialogs[0]), GTK_RESPONSE_NONE);
    test::flush_events();
    EXPECT_EQ(test::standing_dialogs().size(), 1u);
}

namespace {
// Runs a whole program in this process: `check` runs once the window is up and must end the
// main loop; the result is the program's exit status.
int run_in_process(const Variant& v, GSourceFunc check, gpointer data, const char* file = nullptr) {
    g_timeout_add(1500, check, data);
    return kelvra_run(v, file);
}
} // namespace

TEST_F(ShellTest, ProgramShowsItsWindowTicksAndEndsOnCloseRequest) {
    for (const Variant* v : {&variant_full, &variant_rtd}) {
        struct Seen {
            std::string clock;
            bool download_sensitive = true;
        } seen;
        auto check = [](gpointer data) -> gboolean {
            auto* out = static_cast<Seen*>(data);
            out->clock = gtk_label_get_text(GTK_LABEL(test::widget("HMSLabel")));
            out->download_sensitive = GTK_WIDGET_SENSITIVE(test::widget("Download"));
            GtkWidget* main_window = test::widget("kelvra_main");
            EXPECT_TRUE(GTK_WIDGET_VISIBLE(main_window));
            GdkEvent* ev = gdk_event_new(GDK_DELETE);
            ev->any.window = GDK_WINDOW(g_object_ref(main_window->window));
            gtk_main_do_event(ev);
            gdk_event_free(ev);
            return FALSE;
        };
        EXPECT_EQ(run_in_process(*v, check, &seen), 0) << v->program;
        EXPECT_TRUE(std::regex_match(seen.clock, std::regex("[0-2][0-9]:[0-5][0-9]:[0-5][0-9]")))
            << seen.clock;
        EXPECT_FALSE(seen.download_sensitive) << "nothing that needs a device before Connect";
        // The close request does not destroy the window; the program ends through its loop.
        EXPECT_EQ(glade_xml, nullptr) << "the interface is dropped after the loop";
    }
}

// `kelvra FILE.cfg` starts with the file loaded as Open loads it, its faults said the same way;
// --version and --help need no display.
TEST_F(ShellTest, CommandLineOpensAFileAndAnswersWithoutADisplay) {
    test::TempDir dir;
    test::put(dir.path("a.cfg"), "<configuration version=\"1.0\"><device name=\"varnel\">"
                                 "<parameter type=\"uint16\" address=\"1\">95</parameter>"
                                 "</device></configuration>");
    test::put(dir.path("rtd.cfg"), "<configuration><device name=\"varnel0\"/></configuration>");
    struct Seen {
        uint16_t value = 0;
        std::string remembered;
        std::vector<std::string> messages;
    } good, other;
    auto check = [](gpointer data) -> gboolean {
        auto* out = static_cast<Seen*>(data);
        out->value = test::register_values({1})[1];
        out->remembered = config_filename ? config_filename : "";
        out->messages = test::messages();
        test::close_dialogs();
        gtk_main_quit();
        return FALSE;
    };
    EXPECT_EQ(run_in_process(variant_full, check, &good, dir.path("a.cfg").c_str()), 0);
    EXPECT_EQ(good.value, 95);
    EXPECT_EQ(good.remembered, dir.path("a.cfg")) << "offered again by Save";
    EXPECT_EQ(good.messages, std::vector<std::string>{});
    run_in_process(variant_full, check, &other, dir.path("rtd.cfg").c_str());
    EXPECT_EQ(other.messages, std::vector<std::string>{"Invalid configuration file: attribute "
                                                       "\"name\" with invalid value \"varnel0\"."});

    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;
    } cases[] = {{{"--version"}, 0, "kelvra0 1.0.0\n"},
                 {{"--help"}, 0, "Usage:\n  kelvra0 [OPTION…] [FILE.cfg]\n"},
                 {{"a.cfg", "b.cfg"}, 2, ""},
                 {{"--colour"}, 2, ""}};
    for (Case& c : cases) {
        c.args.insert(c.args.begin(), test::binary_path("kelvra0"));
        std::vector<char*> argv;
        for (std::string& a : c.args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        GStrv env = g_environ_unsetenv(g_get_environ(), "DISPLAY");
        gchar* out = nullptr;
        int wait = 0;
        ASSERT_TRUE(g_spawn_sync(nullptr, argv.data(), env, G_SPAWN_STDERR_TO_DEV_NULL, nullptr,
                                 nullptr, &out, nullptr, &wait, nullptr));
        g_strfreev(env);
        EXPECT_EQ(WEXITSTATUS(wait), c.status) << c.args[1];
        EXPECT_EQ(std::string(out).substr(0, c.out.size()), c.out) << c.args[1];
        g_free(out);
    }
}

TEST_F(ShellTest, QuitEndsTheMainLoop) {
    auto quit = [](gpointer) -> gboolean {
        gtk_menu_item_activate(GTK_MENU_ITEM(test::widget("menu_quit")));
        return FALSE;
    };
    EXPECT_EQ(run_in_process(variant_full, quit, nullptr), 0);
}

// The About dialog's own close button ends it; it stands over the main window.
TEST_F(ShellTest, AboutRunsTransientAndItsCloseButtonEndsIt) {
    test::load_main_window(variant_full);
    GtkWidget* seen_parent = nullptr;
    auto answer = [](gpointer data) -> gboolean {
        for (GtkWidget* d : test::standing_dialogs()) {
            if (!GTK_IS_ABOUT_DIALOG(d))
                continue;
            *static_cast<GtkWidget**>(data) =
                GTK_WIDGET(gtk_window_get_transient_for(GTK_WINDOW(d)));
            EXPECT_STREQ(gtk_widget_get_name(d), "kelvra_about");
            EXPECT_STREQ(gtk_about_dialog_get_version(GTK_ABOUT_DIALOG(d)), "1.0");
            GList* buttons = gtk_container_get_children(GTK_CONTAINER(GTK_DIALOG(d)->action_area));
            GtkWidget* close = nullptr;
            for (GList* l = buttons; l; l = l->next)
                if (GTK_IS_BUTTON(l->data) && GTK_WIDGET_VISIBLE(l->data))
                    close = GTK_WIDGET(l->data);
            g_list_free(buttons);
            if (close)
                gtk_button_clicked(GTK_BUTTON(close));
            else
                gtk_dialog_response(GTK_DIALOG(d), GTK_RESPONSE_NONE);
            EXPECT_NE(close, nullptr) << "no close button";
        }
        return FALSE;
    };
    g_timeout_add(300, answer, &seen_parent);
    on_menu_about_activate(nullptr, nullptr);
    EXPECT_EQ(seen_parent, test::widget("kelvra_main"));
    test::flush_events();
    EXPECT_TRUE(test::standing_dialogs().empty());
}

TEST_F(ShellTest, AboutWithoutItsFileReportsAndKeepsRunning) {
    if (g_file_test("/usr/share/ostrel/ui/kelvra_about.glade", G_FILE_TEST_EXISTS))
        GTEST_SKIP() << "an installed copy would be found";
    test::load_main_window(variant_full);
    ScratchDir dir; // no ui/ here
    on_menu_about_activate(nullptr, nullptr);
    test::flush_events();
    auto dialogs = test::standing_dialogs();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(test::dialog_text(dialogs[0]),
              "Error: cannot load interface file kelvra_about.glade.");
}

TEST_F(ShellTest, SpanishRunShowsTranslatedTitle) {
    // The build's own catalogues are under share/locale of the working directory.
    ASSERT_TRUE(g_file_test("share/locale/es/LC_MESSAGES/kelvra.mo", G_FILE_TEST_IS_REGULAR));
    g_setenv("LANG", "C.UTF-8", TRUE);
    g_setenv("LANGUAGE", "es", TRUE);
    // Later tests in this process read the untranslated texts again.
    struct Untranslate {
        ~Untranslate() {
            g_unsetenv("LANGUAGE");
            setlocale(LC_ALL, "C");
        }
    } untranslate;
    std::string title;
    auto check = [](gpointer data) -> gboolean {
        *static_cast<std::string*>(data) =
            gtk_window_get_title(GTK_WINDOW(test::widget("kelvra_main")));
        gtk_main_quit();
        return FALSE;
    };
    EXPECT_EQ(run_in_process(variant_full, check, &title), 0);
    EXPECT_EQ(title, "Controlador de temperatura de transformador");
}

// The guide shows every picture docs/screenshots.sh takes, and only those it has.
TEST(UserGuide, PicturesInStepWithTheirFiles) {
    std::string guide = test::slurp(test::source_path("docs/user-guide.md"));
    std::set<std::string> shown, files;
    std::regex picture(R"(\]\(images/([^)]+\.png)\))");
    for (auto m = std::sregex_iterator(guide.begin(), guide.end(), picture);
         m != std::sregex_iterator(); ++m)
        shown.insert((*m)[1]);
    for (const auto& f : std::filesystem::directory_iterator(test::source_path("docs/images")))
        files.insert(f.path().filename().string());
    EXPECT_EQ(shown, files);
}
