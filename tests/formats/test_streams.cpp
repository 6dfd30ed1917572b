#include "formats/streams.h"
#include "support/files.h"

#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

// `-` reads standard input; a named pipe is waited on until a program opens its other end, one
// that writes only after the wait included, and no longer than the wait when none does.
TEST(OpenInput, StandardInputAndNamedPipes) {
    test::TempDir dir;
    const std::string fifo = dir.path("fifo"), typed = dir.path("typed");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    test::put(typed, "typed");
    int saved_input = dup(STDIN_FILENO), typed_fd = open(typed.c_str(), O_RDONLY);
    dup2(typed_fd, STDIN_FILENO);
    close(typed_fd);
    g_setenv("KELVRA_PIPE_WAIT_MS", "300", TRUE);
    // The path, when a writer that opened the pipe writes (ms; -1: no writer), what is read or
    // the errno.
    const std::tuple<std::string, int, std::string, int> cases[] = {
        {"-", -1, "typed", 0},     {fifo, 0, "at once", 0},      {fifo, 600, "later", 0},
        {fifo, -1, "", ETIMEDOUT}, {dir.path(), -1, "", EISDIR},
    };
    for (const auto& [path, delay, text, error] : cases) {
        SCOPED_TRACE(path + " " + text);
        std::thread writer;
        if (delay >= 0)
            writer = std::thread([&fifo, delay, &text] {
                int fd = open(fifo.c_str(), O_WRONLY);
                g_usleep(static_cast<gulong>(delay) * 1000);
                EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
                close(fd);
            });
        gint64 start = g_get_monotonic_time();
        FILE* file = open_input(path.c_str());
        EXPECT_EQ(file ? 0 : errno, error);
        EXPECT_LT(g_get_monotonic_time() - start, 2000 * 1000);
        char read[64] = "";
        if (file)
            read[fread(read, 1, sizeof read - 1, file)] = '\0';
        EXPECT_EQ(read, text);
        // A writer that open_input never met is released.
        int release = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        if (writer.joinable())
            writer.join();
        close(release);
        if (file)
            fclose(file);
    }
    dup2(saved_input, STDIN_FILENO);
    close(saved_input);
    g_unsetenv("KELVRA_PIPE_WAIT_MS");
}
