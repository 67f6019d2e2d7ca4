#include "system/Browser.h"

#include <cerrno>
#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

namespace {

// xdg-open runs for as long as the desktop's opener takes, and may itself wait for the browser: it is left
// to run in the background of a shell that ends at once, so that nothing here waits for more than the
// shell. 127: no xdg-open on this system.
const char kOpener[] = "command -v xdg-open >/dev/null || exit 127; xdg-open \"$1\" >/dev/null 2>&1 </dev/null &";

}  // namespace

bool openInBrowser(const std::string &url, std::string &error) {
    const char *argv[] = {"sh", "-c", kOpener, "sh", url.c_str(), nullptr};
    pid_t shell = 0;
    if (posix_spawn(&shell, "/bin/sh", nullptr, nullptr, const_cast<char **>(argv), environ) != 0) {
        error = "cannot start /bin/sh";
        return false;
    }
    int status = 0;
    while (waitpid(shell, &status, 0) < 0) {
        if (errno != EINTR) {
            error = "lost track of /bin/sh";
            return false;
        }
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    error = WIFEXITED(status) && WEXITSTATUS(status) == 127 ? "no xdg-open on this system" : "xdg-open failed";
    return false;
}
