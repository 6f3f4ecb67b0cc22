#include "manifesttool.h"

#include "manifest.h"
#include "manifestbuilder.h"
#include "manifestcomparison.h"
#include "scanprogress.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>

#include <cstdio>
#include <memory>

namespace {

const char *const generalHelp =
    "Usage: manifesttool COMMAND [ARGUMENTS]\n"
    "Builds and checks update manifests in release scripts.\n"
    "\n"
    "Commands:\n"
    "  create FOLDER -o FILE [--version V]   write the manifest of FOLDER to FILE\n"
    "  diff DISTANT LOCAL                    list what DISTANT changes against LOCAL\n"
    "  verify MANIFEST FOLDER                check an installed FOLDER against MANIFEST\n"
    "\n"
    "Run 'manifesttool COMMAND --help' for the details of a command.\n";

const char *const createHelp =
    "Usage: manifesttool create FOLDER -o FILE [--version V]\n"
    "Scans FOLDER and writes its manifest to FILE: every directory and file below\n"
    "it, each file with its size, SHA-1 checksum and path, under a root named ROOT\n"
    "that carries the global checksum and the creation date. Hidden entries are\n"
    "left out, and so is FILE itself when it lies inside FOLDER.\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE   the manifest file to write (required)\n"
    "  --version V         the release version to record on the root\n"
    "  -h, --help          show this help\n"
    "\n"
    "Exit status: 0 when the manifest was written, 2 on error.\n";

const char *const diffHelp =
    "Usage: manifesttool diff DISTANT LOCAL\n"
    "Compares the manifest DISTANT (the release) with LOCAL (the installed tree)\n"
    "as the updater does, and prints one line per difference: its kind (NEW,\n"
    "CHANGED or REMOVED) and the entry's path; directories end with '/'.\n"
    "\n"
    "Exit status: 0 when there is no difference, 1 when there is, 2 on error.\n";

const char *const verifyHelp =
    "Usage: manifesttool verify MANIFEST FOLDER\n"
    "Checks the files of FOLDER against MANIFEST and prints one line per problem:\n"
    "  missing   PATH   listed in the manifest, absent from the folder\n"
    "  size      PATH   present, but its size differs\n"
    "  checksum  PATH   present with the right size, but its content differs\n"
    "  unlisted  PATH   present in the folder, not listed in the manifest\n"
    "Hidden entries are not checked; MANIFEST itself is ignored when it lies\n"
    "inside FOLDER.\n"
    "\n"
    "Exit status: 0 when the folder matches, 1 when it does not, 2 on error.\n";

struct CommandLine
{
    QStringList positional;
    QMap<QString, QString> values;
    bool help = false;
    QString error;
};

// Splits a command's arguments. `valueOptions` maps each spelling of an
// option that takes a value to its key in `values`.
CommandLine parseCommandLine(const QStringList &arguments, const QMap<QString, QString> &valueOptions)
{
    CommandLine result;
    bool optionsEnded = false;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (optionsEnded || !argument.startsWith(QLatin1Char('-')) || argument == QLatin1String("-")) {
            result.positional.append(argument);
        } else if (argument == QLatin1String("--")) {
            optionsEnded = true;
        } else if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
            result.help = true;
        } else {
            const int equals = argument.indexOf(QLatin1Char('='));
            const QString name = equals < 0 ? argument : argument.left(equals);
            if (!valueOptions.contains(name)) {
                result.error = QStringLiteral("unknown option '%1'").arg(name);
                return result;
            }
            if (equals >= 0) {
                result.values.insert(valueOptions.value(name), argument.mid(equals + 1));
            } else if (i + 1 < arguments.size()) {
                result.values.insert(valueOptions.value(name), arguments.at(++i));
            } else {
                result.error = QStringLiteral("option '%1' needs a value").arg(name);
                return result;
            }
        }
    }
    return result;
}

// Path of `file` relative to `folder` when it lies inside it, else empty.
QString pathInside(const QString &folder, const QString &file)
{
    const QString folderPath = QFileInfo(folder).canonicalFilePath();
    const QFileInfo fileInfo(file);
    const QString directory = QFileInfo(fileInfo.absolutePath()).canonicalFilePath();
    if (folderPath.isEmpty() || directory.isEmpty())
        return QString();
    const QString filePath = directory + QLatin1Char('/') + fileInfo.fileName();
    const QString prefix = folderPath.endsWith(QLatin1Char('/')) ? folderPath : folderPath + QLatin1Char('/');
    return filePath.startsWith(prefix) ? filePath.mid(prefix.size()) : QString();
}

// The file elements below `element`, by their path from the root.
void collectFiles(const QDomElement &element, QMap<QString, QDomElement> *files)
{
    for (QDomElement child = element.firstChildElement(); !child.isNull(); child = child.nextSiblingElement()) {
        if (isFile(child))
            files->insert(elementPath(child), child);
        else if (isDirectory(child))
            collectFiles(child, files);
    }
}

// The first entry below `element` that the scan could not read, or empty.
QString firstUnreadable(const QDomElement &element, const QString &folder)
{
    for (QDomElement child = element.firstChildElement(); !child.isNull(); child = child.nextSiblingElement()) {
        const QString path = QDir(folder).filePath(elementPath(child));
        if (isFile(child) && elementCrc(child).isEmpty())
            return path;
        if (isDirectory(child)) {
            const QFileInfo info(path);
            if (!info.isReadable() || !info.isExecutable())
                return path;
            const QString below = firstUnreadable(child, folder);
            if (!below.isEmpty())
                return below;
        }
    }
    return QString();
}

} // namespace

void ManifestTool::printOut(const QString &line)
{
    std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), stdout);
}

int ManifestTool::fail(const QString &message)
{
    std::fflush(stdout);
    std::fputs(QStringLiteral("manifesttool: %1\n").arg(message).toUtf8().constData(), stderr);
    return Failure;
}

int ManifestTool::run(const QStringList &arguments)
{
    const QString command = arguments.value(0);
    const QStringList rest = arguments.mid(1);
    if (command == QLatin1String("create"))
        return create(rest);
    if (command == QLatin1String("diff"))
        return diff(rest);
    if (command == QLatin1String("verify"))
        return verify(rest);
    if (command == QLatin1String("-h") || command == QLatin1String("--help") || command == QLatin1String("help")) {
        std::fputs(generalHelp, stdout);
        return Success;
    }
    if (command.isEmpty())
        return fail(QStringLiteral("no command given; run 'manifesttool --help'"));
    return fail(QStringLiteral("unknown command '%1'; run 'manifesttool --help'").arg(command));
}

bool ManifestTool::readManifest(const QString &path, QDomDocument *document)
{
    // The manifest library's reader refuses input too deep or too large for
    // the DOM before building anything from it.
    QString error;
    *document = readManifestDocument(path, &error);
    if (document->isNull()) {
        fail(error);
        return false;
    }
    return true;
}

bool ManifestTool::checkFolder(const QString &folder)
{
    const QFileInfo info(folder);
    if (!info.exists())
        fail(QStringLiteral("cannot read folder '%1': it does not exist").arg(folder));
    else if (!info.isDir())
        fail(QStringLiteral("cannot read folder '%1': not a folder").arg(folder));
    else if (!info.isReadable() || !info.isExecutable())
        fail(QStringLiteral("cannot read folder '%1': permission denied").arg(folder));
    else
        return true;
    return false;
}

bool ManifestTool::scanFolder(const QString &folder, const QString &excludedFile, QDomDocument *document)
{
    {
        ScanProgress progress(folder);
        *document = ManifestBuilder::fromFolder(folder, excludedFile);
    }
    const QString unreadable = firstUnreadable(document->documentElement(), folder);
    if (!unreadable.isEmpty()) {
        fail(QStringLiteral("cannot read '%1'").arg(unreadable));
        return false;
    }
    return true;
}

int ManifestTool::create(const QStringList &arguments)
{
    const CommandLine line = parseCommandLine(
        arguments, {{QStringLiteral("-o"), QStringLiteral("output")},
                    {QStringLiteral("--output"), QStringLiteral("output")},
                    {QStringLiteral("--version"), QStringLiteral("version")}});
    if (line.help) {
        std::fputs(createHelp, stdout);
        return Success;
    }
    if (!line.error.isEmpty())
        return fail(QStringLiteral("create: %1").arg(line.error));
    if (line.positional.size() != 1)
        return fail(QStringLiteral("create: expected one FOLDER, got %1 arguments").arg(line.positional.size()));
    const QString output = line.values.value(QStringLiteral("output"));
    if (output.isEmpty())
        return fail(QStringLiteral("create: the output file is missing (-o FILE)"));

    const QString folder = line.positional.first();
    if (!checkFolder(folder))
        return Failure;
    QDomDocument document;
    if (!scanFolder(folder, pathInside(folder, output), &document))
        return Failure;
    QDomElement root = document.documentElement();
    if (line.values.contains(QStringLiteral("version")))
        root.setAttribute(QStringLiteral("version"), line.values.value(QStringLiteral("version")));
    if (!saveManifestDocument(output, document))
        return fail(QStringLiteral("cannot write '%1'").arg(output));

    QMap<QString, QDomElement> files;
    collectFiles(root, &files);
    printOut(QStringLiteral("%1: %2 files, global checksum %3").arg(output).arg(files.size()).arg(elementCrc(root)));
    return Success;
}

int ManifestTool::diff(const QStringList &arguments)
{
    const CommandLine line = parseCommandLine(arguments, {});
    if (line.help) {
        std::fputs(diffHelp, stdout);
        return Success;
    }
    if (!line.error.isEmpty())
        return fail(QStringLiteral("diff: %1").arg(line.error));
    if (line.positional.size() != 2)
        return fail(QStringLiteral("diff: expected DISTANT and LOCAL, got %1 arguments").arg(line.positional.size()));

    QDomDocument distant;
    QDomDocument local;
    if (!readManifest(line.positional.at(0), &distant) || !readManifest(line.positional.at(1), &local))
        return Failure;

    QPair<QDomElement, QDomElement> roots(distant.documentElement(), local.documentElement());
    const std::unique_ptr<QList<DOM_DIFF *>> differences(compareManifests(&roots));
    for (const DOM_DIFF *difference : qAsConst(*differences)) {
        const QDomElement entry = difference->type == REMOVED ? difference->local : difference->distant;
        const QString kind = difference->type == NEW       ? QStringLiteral("NEW")
                             : difference->type == CHANGED ? QStringLiteral("CHANGED")
                                                           : QStringLiteral("REMOVED");
        const QString suffix = isDirectory(entry) ? QStringLiteral("/") : QString();
        printOut(QStringLiteral("%1 %2%3").arg(kind, -7).arg(elementPath(entry), suffix));
    }
    const bool different = !differences->isEmpty();
    qDeleteAll(*differences);
    return different ? Differences : Success;
}

int ManifestTool::verify(const QStringList &arguments)
{
    const CommandLine line = parseCommandLine(arguments, {});
    if (line.help) {
        std::fputs(verifyHelp, stdout);
        return Success;
    }
    if (!line.error.isEmpty())
        return fail(QStringLiteral("verify: %1").arg(line.error));
    if (line.positional.size() != 2)
        return fail(QStringLiteral("verify: expected MANIFEST and FOLDER, got %1 arguments").arg(line.positional.size()));

    const QString manifestPath = line.positional.at(0);
    const QString folder = line.positional.at(1);
    QDomDocument manifest;
    if (!readManifest(manifestPath, &manifest) || !checkFolder(folder))
        return Failure;
    QDomDocument installed;
    if (!scanFolder(folder, pathInside(folder, manifestPath), &installed))
        return Failure;

    QMap<QString, QDomElement> expected;
    QMap<QString, QDomElement> actual;
    collectFiles(manifest.documentElement(), &expected);
    collectFiles(installed.documentElement(), &actual);

    // One pass over both path-ordered maps, so the report is sorted by path.
    int problems = 0;
    auto report = [&](const char *kind, const QString &path) {
        printOut(QStringLiteral("%1 %2").arg(QLatin1String(kind), -9).arg(path));
        ++problems;
    };
    auto e = expected.cbegin();
    auto a = actual.cbegin();
    while (e != expected.cend() || a != actual.cend()) {
        if (a == actual.cend() || (e != expected.cend() && e.key() < a.key())) {
            report("missing", e.key());
            ++e;
        } else if (e == expected.cend() || a.key() < e.key()) {
            report("unlisted", a.key());
            ++a;
        } else {
            bool sizeOk = false;
            const qint64 expectedSize = elementSize(e.value()).toLongLong(&sizeOk);
            if (!sizeOk || expectedSize != elementSize(a.value()).toLongLong())
                report("size", e.key());
            else if (elementCrc(e.value()).compare(elementCrc(a.value()), Qt::CaseInsensitive) != 0)
                report("checksum", e.key());
            ++e;
            ++a;
        }
    }
    if (problems > 0)
        return Differences;
    printOut(QStringLiteral("%1 matches %2: %3 files").arg(folder, manifestPath).arg(expected.size()));
    return Success;
}
