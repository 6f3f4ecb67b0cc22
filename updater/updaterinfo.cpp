#include "updaterinfo.h"

#include "startupcheck.h"

#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#endif

UpdaterInfo::Request UpdaterInfo::requested(int argc, char *argv[])
{
    const QStringList &withValue = StartupCheck::valueOptions();
    for (int i = 1; i < argc; ++i) {
        const QString argument = QString::fromLocal8Bit(argv[i]);
        if (argument == QLatin1String("--help"))
            return Help;
        if (argument == QLatin1String("--version"))
            return Version;
        if (withValue.contains(argument))
            ++i; // its value, never an option
    }
    return None;
}

int UpdaterInfo::answer(Request request)
{
#ifdef _WIN32
    // A windowed program has no console of its own: answer in the one it
    // was started from, if any.
    if (AttachConsole(ATTACH_PARENT_PROCESS))
        std::freopen("CONOUT$", "w", stdout);
#endif
    if (request == Version)
        std::fputs("updater " UPDATER_PROJECT_VERSION "\n", stdout);
    else
        std::fputs(usage(), stdout);
    return 0;
}

const char *UpdaterInfo::usage()
{
    return "Usage: updater --distant_path FILE [options]\n"
           "Brings an installed application up to date: compares the installed tree's\n"
           "manifest with the release's, fetches every new or changed file from the update\n"
           "server, verifies it, puts it in place and deletes what the release no longer\n"
           "lists. Shows its progress in a window; Restart starts the application again.\n"
           "\n"
           "  --distant_path FILE       the release's manifest, already on disk\n"
           "  --local_path FILE         the installed tree's manifest, rewritten at the end\n"
           "                            (default: manifest.xml)\n"
           "  --url URL                 the update server\n"
           "                            (default: http://localhost/brevlane/.update2/.version)\n"
           "  --dir DIR                 the installed folder, created one level deep when\n"
           "                            missing (default: the current folder)\n"
           "  --callback FILE           the application that Restart starts\n"
           "                            (default: Kandemar.exe)\n"
           "  --silent                  no window and no boxes; exit status 0 when every file\n"
           "                            was installed, 1 when any failed, 2 when it could not\n"
           "                            start\n"
           "  --check                   no window: print one JSON object saying what a run\n"
           "                            would do, change nothing; exit status 0 up to date,\n"
           "                            10 update available, 1 refused or failed, 2 command\n"
           "                            line error\n"
           "  --repair                  also check every installed file on disk and fetch\n"
           "                            the damaged ones again, from the release of the\n"
           "                            installed version (the local manifest without a key)\n"
           "  --ignore_rollout          install a release whose staged rollout does not\n"
           "                            offer it to this installation yet\n"
           "  --timeout SECONDS         give up on a transfer that stalls this long\n"
           "                            (default: 30)\n"
           "  --connections N           fetch up to N files at once, 1 to 16 (default: 1);\n"
           "                            8 pays off on links with latency\n"
           "  --ca_file PEM             extra CA certificates to trust\n"
           "  --public_key FILE         the publisher's Ed25519 public key (or keys); may be\n"
           "                            given several times: a signature by any one counts\n"
           "  --allow_downgrade         with a key, permit installing an older release, or\n"
           "                            one whose version cannot be read\n"
           "  --manifest_request NAME   fetch the distant manifest (and its .sig) from the\n"
           "                            server by this request name\n"
           "  --channel NAME            refuse a release that does not name this channel\n"
           "  --files_url URL           fetch the files by GET below this URL\n"
           "  --log_size BYTES          rotate log.txt past this size (default: 1024)\n"
           "  --help                    show this text and exit\n"
           "  --version                 show the program's version and exit\n"
           "\n"
           "An option's value is the argument after it, whatever it looks like: in\n"
           "\"--url --version\" the URL is \"--version\". The log is log.txt beside the\n"
           "program.\n";
}
