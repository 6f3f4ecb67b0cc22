// updateserver: publishes a release folder to the update clients over HTTP.
#include "updateserver.h"

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>

namespace {

const char *const usage =
    "Usage: updateserver [--root DIR] [--port N] [--bind HOST]\n"
    "Publishes the release folder DIR to the update clients over HTTP.\n"
    "\n"
    "  --root DIR    folder to publish (default: the current folder)\n"
    "  --port N      port to listen on; 0 picks a free one (default: 8080)\n"
    "  --bind HOST   address to listen on (default: 127.0.0.1)\n"
    "  --help        show this text and exit\n"
    "  --version     show the program's version and exit\n"
    "\n"
    "A form POST (to any path) with the field \"request\" returns the file of that\n"
    "path below DIR; \"request\"=\"CLOSE\" ends an update run and logs \"version\".\n"
    "A GET returns the file at the URL's path below DIR. Both honour Range.\n"
    "Nothing outside DIR is served. Prints \"listening on http://HOST:PORT/\" once\n"
    "ready, logs one line per request on standard error, and stops cleanly on\n"
    "SIGINT or SIGTERM.\n";

int fail(const std::string &message)
{
    std::cerr << "updateserver: " << message << '\n' << usage;
    return 2;
}

bool parsePort(const std::string &text, int &port)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 5)
        return false;
    port = std::stoi(text);
    return port <= 65535;
}

} // namespace

int main(int argc, char *argv[])
{
    std::string root = ".";
    std::string host = "127.0.0.1";
    int port = 8080;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::cout << usage;
            return 0;
        }
        if (option == "--version") {
            std::cout << "updateserver " UPDATER_PROJECT_VERSION "\n";
            return 0;
        }
        if (option != "--root" && option != "--port" && option != "--bind")
            return fail("unknown option " + option);
        if (i + 1 >= argc)
            return fail(option + " needs a value");
        const std::string value = argv[++i];
        if (option == "--root")
            root = value;
        else if (option == "--bind")
            host = value;
        else if (!parsePort(value, port))
            return fail("invalid port " + value);
    }

    std::error_code error;
    if (!std::filesystem::is_directory(root, error))
        return fail("not a folder: " + root);

    // The signals are taken by one thread with sigwait, so the stop request
    // never runs inside a signal handler. The mask is set before any other
    // thread exists so that every worker inherits it. A shell starts
    // background jobs with SIGINT ignored, and an ignored signal never
    // reaches sigwait: restore the default first.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGUSR1); // wakes the waiter when the server ends by itself
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN); // a client that hangs up must not end the server

    // Every waiting client holds a descriptor: allow as many as the system
    // lets this process have, not the usual 1024.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    UpdateServer server(root, std::cerr);
    const int bound = server.bind(host, port);
    if (bound < 0) {
        std::cerr << "updateserver: cannot listen on " << host << ':' << port << '\n';
        return 1;
    }

    // A stop that comes before the listening loop has started is lost, so
    // it is repeated until the loop has ended.
    std::atomic<bool> finished(false);
    std::thread waiter([&server, &stopSignals, &finished] {
        int received = 0;
        sigwait(&stopSignals, &received);
        while (!finished) {
            server.stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });

    const bool bracket = host.find(':') != std::string::npos; // IPv6 literal
    std::cout << "listening on http://" << (bracket ? "[" : "") << host << (bracket ? "]" : "") << ':'
              << bound << '/' << std::endl;
    const bool served = server.listen();
    finished = true;

    pthread_kill(waiter.native_handle(), SIGUSR1);
    waiter.join();
    return served ? 0 : 1;
}
