#include "versionupdaterinfo.h"

#include <algorithm>
#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#endif

const std::vector<std::string> &VersionUpdaterInfo::valueOptions()
{
    static const std::vector<std::string> options = {"--callback", "--path",    "--url",     "--dir",
                                                     "--version",  "--timeout", "--ca_file", "--public_key"};
    return options;
}

VersionUpdaterInfo::Request VersionUpdaterInfo::requested(int argc, char *argv[])
{
    const std::vector<std::string> &withValue = valueOptions();
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help")
            return Help;
        if (argument == "--version" && i + 1 == argc)
            return Version;
        if (argument == "--files") {
            // Its entries run up to the next argument that starts with "--".
            while (i + 1 < argc && std::string(argv[i + 1]).compare(0, 2, "--") != 0)
                ++i;
        } else if (std::find(withValue.begin(), withValue.end(), argument) != withValue.end()) {
            ++i; // its value, never an option
        }
    }
    return None;
}

int VersionUpdaterInfo::answer(Request request)
{
#ifdef _WIN32
    // A windowed program has no console of its own: answer in the one it
    // was started from, if any.
    if (AttachConsole(ATTACH_PARENT_PROCESS))
        std::freopen("CONOUT$", "w", stdout);
#endif
    if (request == Version)
        std::fputs("versionupdater " UPDATER_PROJECT_VERSION "\n", stdout);
    else
        std::fputs(usage(), stdout);
    return 0;
}

const char *VersionUpdaterInfo::usage()
{
    return "Usage: versionupdater [options]\n"
           "Brings the application up to date from a plain-text version list: downloads\n"
           "every entry whose version is newer than the local one, then offers to\n"
           "restart the application.\n"
           "\n"
           "  --url URL           the version list\n"
           "                      (default: http://localhost/brevlane/.update2/.version)\n"
           "  --dir DIR           destination folder, created one level deep\n"
           "                      (default: the current folder)\n"
           "  --version A.B.C.D   the local version (default: the file version of --path)\n"
           "  --path FILE         executable whose file version is the local version\n"
           "                      (default: updater/updater.exe)\n"
           "  --files ENTRY...    entries downloaded at once, whatever the list says; the\n"
           "                      entries end at the next argument that starts with \"--\"\n"
           "  --callback FILE     started by the Restart button (default: Kandemar.exe)\n"
           "  --timeout SECONDS   a transfer that brings under 1 KiB in this many seconds\n"
           "                      fails and is tried again (default: 30)\n"
           "  --ca_file PEM       extra CA certificates to trust\n"
           "  --public_key FILE   the publisher's Ed25519 public key (default: update-key.pub\n"
           "                      beside the program, if there); with a key the list must\n"
           "                      have a valid LIST.sig and every entry a sha256 field,\n"
           "                      so --files entries are refused; give it several times\n"
           "                      (or put several keys in the file) while a key is\n"
           "                      being replaced: a signature by any one counts\n"
           "  --help              show this text and exit\n"
           "  --version           as the last argument, with nothing after it: show the\n"
           "                      program's version and exit\n"
           "\n"
           "An option's value is the argument after it, whatever it looks like. So\n"
           "\"--version 1.2.0.0\" always sets the local version, and only a \"--version\"\n"
           "with no argument after it asks for the program's version.\n";
}
