#ifndef VERSIONUPDATERINFO_H
#define VERSIONUPDATERINFO_H

#include <string>
#include <vector>

// versionupdater --help and --version, decided from the raw arguments
// before any application object exists (a window needs a display); they
// end the run at once. "--version" also sets the local version, so it
// asks for the program's version only when nothing follows it.
class VersionUpdaterInfo
{
public:
    enum Request { None, Help, Version };

    // Options whose value is the next argument, whatever it looks like. A
    // new option that takes a value belongs here as well as in the
    // command-line parser.
    static const std::vector<std::string> &valueOptions();

    // --help anywhere in option position, or --version in option position
    // as the last argument; the first one found.
    static Request requested(int argc, char *argv[]);

    // Prints the answer on stdout and returns the exit status (0).
    static int answer(Request request);

    static const char *usage();
};

#endif // VERSIONUPDATERINFO_H
