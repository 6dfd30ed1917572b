// kelvra-cli beside the window, against the same simulated controller.
#include "gui/config.h"
#include "gui/events.h"
#include "gui/params.h"
#include "support/sim_harness.h"
#include "support/window.h"

#include <cairo.h>

namespace {

using Lines = std::vector<std::string>;
using test::cli;

// The command line writes what the window writes: the configuration file after a download, and
// the event CSV byte for byte.
class CliLikeWindow : public test::GuiTest, public ::testing::WithParamInterface<const Variant*> {};

TEST_P(CliLikeWindow, WritesTheWindowsFiles) {
    const Variant& v = *GetParam();
    bool rtd = &v == &variant_rtd;
    test::SimHarness sim({"--baud", "0", "--options", "3", "--variant", rtd ? "rtd" : "full"});
    ASSERT_TRUE(sim.started());
    test::TempDir dir;
    test::load_main_window(v);
    init_registers();
    gtk_toggle_tool_button_set_active(GTK_TOGGLE_TOOL_BUTTON(test::widget("Connect")), TRUE);
    test::click("Download");
    save_config(dir.path("window.cfg").c_str());
    if (!rtd)
        save_events(dir.path("window.csv").c_str());
    ASSERT_EQ(test::messages(), Lines{});
    gtk_toggle_tool_button_set_active(GTK_TOGGLE_TOOL_BUTTON(test::widget("Connect")), FALSE);

    std::string variant = std::string("--variant=") + v.program;
    EXPECT_EQ(cli({variant, "download", "-o", dir.path("cli.cfg")}).status, 0);
    EXPECT_EQ(test::slurp(dir.path("cli.cfg")), test::slurp(dir.path("window.cfg")));
    if (rtd)
        return;
    // The plot comes along when asked for, drawn without a display.
    EXPECT_EQ(
        cli({variant, "events", "-o", dir.path("cli.csv"), "--png", dir.path("cli.png")}).status,
        0);
    EXPECT_EQ(test::slurp(dir.path("cli.csv")), test::slurp(dir.path("window.csv")));
    cairo_surface_t* png = cairo_image_surface_create_from_png(dir.path("cli.png").c_str());
    EXPECT_EQ(cairo_image_surface_get_width(png), 1200);
    EXPECT_EQ(cairo_image_surface_get_height(png), 700);
    cairo_surface_destroy(png);
}

INSTANTIATE_TEST_SUITE_P(Variants, CliLikeWindow, ::testing::Values(&variant_full, &variant_rtd),
                         [](const auto& info) { return std::string(info.param->program); });

} // namespace
