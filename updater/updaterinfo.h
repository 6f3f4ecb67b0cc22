#ifndef UPDATERINFO_H
#define UPDATERINFO_H

// updater --help and --version. They are decided from the raw arguments
// before any application object exists, since a windowed one needs a
// display, and they end the run at once.
class UpdaterInfo
{
public:
    enum Request { None, Help, Version };

    // The first --help or --version found in option position: the value of
    // an option is skipped whatever it looks like, so that in
    // "--url --version" the URL is "--version".
    static Request requested(int argc, char *argv[]);

    // Prints the answer on stdout and returns the exit status (0).
    static int answer(Request request);

    static const char *usage();
};

#endif // UPDATERINFO_H
