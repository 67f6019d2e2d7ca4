#pragma once

// Runs the stand-in host as a child process, natively, under Wine or in another system's root, and talks
// to it over its standard input and output.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "tests/TestSupport.h"

struct HostSetup {
    std::string host;    // the host executable
    std::string module;  // the plug-in module it loads
    bool wine = false;   // run the (Windows) host under Wine
    bool valgrind = false;  // run the (Linux) host under valgrind's memcheck
    bool realNetwork = false;  // run the scenarios that take real network time, tens of seconds each
    std::string root;          // run the (Linux) host chrooted here, where the host and module paths are
    std::string feedclient;    // feedclient, to read the feed on the same system as the host
};

// What a test program exits with when it was skipped, for CTest's SKIP_RETURN_CODE.
constexpr int kSkippedExit = 77;

// What valgrind exits with when it found a memory error or a leak.
constexpr int kValgrindErrorExit = 97;

// What the plug-in logs of every client under Wine (8.0), which refuses TCP_MAXRT, the bound on how long
// data sent may go unacknowledged (WSAENOPROTOOPT); the client is served without it.
const char *const kWineRefusesTheBound = "^setsockopt failed with error: 10042$";

class HostProcess {
public:
    HostProcess(const HostSetup &setup, const std::vector<std::string> &options)
        : wine_(setup.wine), valgrind_(setup.valgrind), directory_(makeDirectory(setup.root)) {
        if (setup.wine) arguments_.push_back("wine");
        // chroot starts the host at the root's top; env takes it to its working directory, seen from inside.
        if (!setup.root.empty()) {
            arguments_.insert(arguments_.end(),
                              {"chroot", setup.root, "env", "--chdir=/" + directory_.substr(setup.root.size())});
        }
        if (setup.valgrind) {
            arguments_.insert(arguments_.end(), {"valgrind", "--quiet", "--leak-check=full",
                                                 "--errors-for-leak-kinds=definite,indirect",
                                                 "--error-exitcode=" + std::to_string(kValgrindErrorExit)});
        }
        arguments_.push_back(setup.host);
        arguments_.insert(arguments_.end(), options.begin(), options.end());
        arguments_.push_back(setup.module);
        launch();
    }

    HostProcess(const HostProcess &) = delete;
    HostProcess &operator=(const HostProcess &) = delete;

    ~HostProcess() {
        end();
        EXPECT_FALSE(valgrind_ && WIFEXITED(status_) && WEXITSTATUS(status_) == kValgrindErrorExit)
            << "valgrind found errors in the host: see its report above";
        EXPECT_EQ(count("^host: fault "), 0) << "the module called the host from a thread of its own";
        std::remove((directory_ + "/Log.txt").c_str());
        rmdir(directory_.c_str());
    }

    // The lines the module has written to Log.txt so far, each without its line feed.
    std::vector<std::string> logTxt() const {
        std::vector<std::string> lines;
        std::FILE *file = std::fopen((directory_ + "/Log.txt").c_str(), "rb");
        if (!file) return lines;
        std::string line;
        for (int c; (c = std::fgetc(file)) != EOF;) {
            if (c != '\n') {
                line += static_cast<char>(c);
                continue;
            }
            lines.push_back(line);
            line.clear();
        }
        if (!line.empty()) lines.push_back(line);  // unterminated
        std::fclose(file);
        return lines;
    }

    // Ctrl-C, as a user stops the host's real-time run.
    void interrupt() { kill(pid_, SIGINT); }

    // The status the host exits with by itself, or -1 if it does not in time or dies of a signal.
    int exitStatus() { return exited(kPatience) && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }

    // Sends one command and returns every line up to its "host: ok" reply, which is left out; on an
    // error reply or time-out the last line says so.
    std::vector<std::string> command(const std::string &text,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
        std::vector<std::string> lines = exchange(text, timeout);
        // Wine now and then loses a program that starts just as its wineserver winds down ("wine client
        // error: recvmsg"): it dies before it has read a thing. Such a host is started once more; one
        // that has ever answered never is.
        if (wine_ && !answered_ && unanswered(lines, text) && exited(std::chrono::seconds(1))) {
            std::fprintf(stderr, "note: the host died under Wine before its first reply; starting it again\n");
            end();
            launch();
            lines = exchange(text, timeout);
        }
        answered_ = answered_ || !unanswered(lines, text);
        return lines;
    }

    // How many lines read so far match `pattern`.
    int count(const std::string &pattern) const {
        std::regex expression(pattern);
        int matches = 0;
        for (const std::string &line : log_) matches += std::regex_search(line, expression) ? 1 : 0;
        return matches;
    }

    // How many lines read so far tell of a failed call, less Wine's refusals of the bound.
    int failures() const { return count("failed with error") - (wine_ ? count(kWineRefusesTheBound) : 0); }

    // Reads on until `wanted` lines in all match `pattern`; true if they did in time. The host passes on
    // what it and the module printed when it next waits for a command, so when nothing comes for a while
    // it is sent one that changes nothing.
    bool waitForCount(const std::string &pattern, int wanted, std::chrono::milliseconds timeout = kPatience) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (count(pattern) < wanted) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            if (readLine(std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(20))).empty())
                nudge();
        }
        return true;
    }

    // Every line read so far.
    const std::vector<std::string> &log() const { return log_; }

private:
    // Starts the host with its standard input and output piped to this process.
    void launch() {
        int toHost[2], fromHost[2];
        if (pipe(toHost) != 0 || pipe(fromHost) != 0) return;
        // Room for a long burst of output, so a tick is not timed waiting on this reader.
        fcntl(fromHost[0], F_SETPIPE_SZ, 1 << 20);
        pid_ = fork();
        if (pid_ == 0) {
            // A working directory of its own, where the host keeps the module's Log.txt.
            if (chdir(directory_.c_str()) != 0) _exit(127);
            dup2(toHost[0], STDIN_FILENO);
            dup2(fromHost[1], STDOUT_FILENO);
            for (int descriptor : {toHost[0], toHost[1], fromHost[0], fromHost[1]}) ::close(descriptor);
            std::vector<char *> argv;
            for (std::string &argument : arguments_) argv.push_back(argument.data());
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        ::close(toHost[0]);
        ::close(fromHost[1]);
        input_ = toHost[1];
        output_ = fromHost[0];
        fcntl(input_, F_SETFD, FD_CLOEXEC);
        fcntl(output_, F_SETFD, FD_CLOEXEC);
    }

    // Closing its input tells the host to quit, which stops and unloads the module.
    void end() {
        if (input_ != -1) ::close(input_);
        if (pid_ > 0 && !exited(std::chrono::seconds(30))) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (output_ != -1) ::close(output_);
        input_ = output_ = -1;
        pid_ = -1;
        pending_.clear();
    }

    void nudge() {
        static const char kSync[] = "sync\n";
        if (write(input_, kSync, sizeof kSync - 1) < 0) return;  // a host that has ended has no more to say
    }

    std::vector<std::string> exchange(const std::string &text, std::chrono::milliseconds timeout) {
        std::string line = text + "\n";
        if (write(input_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return {"write failed"};
        std::string word = text.substr(0, text.find(' '));
        std::vector<std::string> lines;
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            std::string next = readLine(deadline);
            if (next.empty()) {
                lines.push_back("no reply to " + text);
                return lines;
            }
            if (next == "host: ok " + word) return lines;
            lines.push_back(next);
            if (next.rfind("host: error", 0) == 0) return lines;
        }
    }

    static bool unanswered(const std::vector<std::string> &lines, const std::string &text) {
        return lines.size() == 1 && (lines[0] == "write failed" || lines[0] == "no reply to " + text);
    }

    // The next line without its line feed, or "" at the deadline or end of output.
    std::string readLine(std::chrono::steady_clock::time_point deadline) {
        for (;;) {
            std::size_t end = pending_.find('\n');
            if (end != std::string::npos) {
                std::string line = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                log_.push_back(line);
                return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd entry{output_, POLLIN, 0};
            if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) <= 0) return "";
            char chunk[65536];
            ssize_t count = read(output_, chunk, sizeof chunk);
            if (count <= 0) return "";
            pending_.append(chunk, static_cast<std::size_t>(count));
        }
    }

    bool exited(std::chrono::seconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            pid_t waited = waitpid(pid_, &status_, WNOHANG);
            if (waited == pid_ || (waited < 0 && errno == ECHILD)) return true;  // ECHILD: reaped before
            usleep(10000);
        }
        return false;
    }

    // A working directory of its own for the host, inside the root it runs in, if any.
    static std::string makeDirectory(const std::string &root) {
        std::string name = root + "/tmp/standin-host-XXXXXX";
        if (mkdtemp(name.data())) return name;
        return root.empty() ? "." : root;
    }

    std::vector<std::string> arguments_;
    bool wine_ = false;
    bool valgrind_ = false;
    std::string directory_;  // the host's working directory
    bool answered_ = false;  // the host has replied to a command
    pid_t pid_ = -1;
    int status_ = 0;
    int input_ = -1;
    int output_ = -1;
    std::string pending_;
    std::vector<std::string> log_;
};

// The main of a test program that drives the host, after GoogleTest's own options:
// PROGRAM --host HOST --module MODULE [--wine | --valgrind | --chroot ROOT] [--real-network] [--feedclient PATH].
inline int runHostTests(int argc, char **argv, HostSetup &setup) {
    testing::InitGoogleTest(&argc, argv);
    // A host that has died must fail the command written to it, not end the whole run.
    signal(SIGPIPE, SIG_IGN);
    for (int index = 1; index < argc; ++index) {
        std::string option = argv[index];
        if (option == "--wine") {
            setup.wine = true;
        } else if (option == "--valgrind") {
            setup.valgrind = true;
        } else if (option == "--real-network") {
            setup.realNetwork = true;
        } else if (option == "--chroot" && index + 1 < argc) {
            setup.root = argv[++index];
        } else if (option == "--host" && index + 1 < argc) {
            setup.host = std::filesystem::absolute(argv[++index]).string();  // the host runs elsewhere
        } else if (option == "--module" && index + 1 < argc) {
            setup.module = std::filesystem::absolute(argv[++index]).string();
        } else if (option == "--feedclient" && index + 1 < argc) {
            setup.feedclient = std::filesystem::absolute(argv[++index]).string();
        } else {
            std::fprintf(stderr, "unknown option %s\n", option.c_str());
            return 2;
        }
    }
    if (setup.host.empty() || setup.module.empty()) {
        std::fprintf(stderr,
                     "usage: %s --host HOST --module MODULE [--wine | --valgrind | --chroot ROOT] [--real-network] "
                     "[--feedclient PATH]\n",
                     argv[0]);
        return 2;
    }
    if (!setup.root.empty() && geteuid() != 0) {
        std::printf("skipped: only root may run the host chrooted in %s\n", setup.root.c_str());
        return kSkippedExit;
    }
    return RUN_ALL_TESTS();
}
