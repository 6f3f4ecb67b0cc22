#include "manifesttool.h"

#include "chunkindexwriter.h"
#include "manifest.h"
#include "manifestbuilder.h"
#include "manifestcomparison.h"
#include "manifestreader.h"
#include "scanprogress.h"
#include "treecomparison.h"
#include "versionlistcheck.h"
#include "destinationfolder.h"
#include "stagedfile.h"
#include "windowsnames.h"

#include "keyring.h"
#include "privatekey.h"
#include "regularfile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QDateTime>
#include <QMap>
#include <QSaveFile>
#include <QSet>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

const char *const generalHelp =
    "Usage: manifesttool COMMAND [ARGUMENTS]\n"
    "Builds, checks and signs update manifests in release scripts.\n"
    "\n"
    "Commands:\n"
    "  create FOLDER -o FILE [OPTIONS]         write the manifest of FOLDER to FILE\n"
    "  diff DISTANT LOCAL                      list what DISTANT changes against LOCAL\n"
    "  verify MANIFEST FOLDER                  check an installed FOLDER against MANIFEST\n"
    "  keygen NAME                             make the signing key pair NAME.key, NAME.pub\n"
    "  sign FILE --key NAME.key...             write the signature FILE.sig\n"
    "  check-signature FILE --public_key PUB...  check FILE.sig as the clients do\n"
    "  check-list LIST                         read a version list as versionupdater does\n"
    "\n"
    "Options:\n"
    "  --version    print the program's version\n"
    "  -h, --help   show this help\n"
    "\n"
    "Run 'manifesttool COMMAND --help' for the details of a command.\n";

const char *const createHelp =
    "Usage: manifesttool create FOLDER -o FILE [--version V] [--expires DAYS] [--jobs N]\n"
    "                           [--chunks [--chunk_threshold BYTES]] [--channel NAME]\n"
    "                           [--notes FILE] [--rollout PERCENT]\n"
    "                           [--follow_internal_links] [--allow_non_windows_names]\n"
    "Scans FOLDER and writes its manifest to FILE: every directory and file below\n"
    "it, each file with its size, SHA-1 checksum, SHA-256 and path, under a root\n"
    "named ROOT that carries the global checksum and the creation date. Hidden\n"
    "entries are left out, and so is FILE itself when it lies inside FOLDER.\n"
    "\n"
    "Links are never followed. A link whose target lies outside FOLDER, or that\n"
    "leads nowhere, is an error that names it. A link to a file or folder inside\n"
    "FOLDER is an error too, since the documented hosting (nginx) refuses to serve\n"
    "links, unless --follow_internal_links is given. A file that changes while it\n"
    "is hashed is hashed again, at most twice; one that still changes is an error.\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE   the manifest file to write (required); '-' writes it to\n"
    "                      standard output, and nothing else goes there\n"
    "  --version V         the release version to record on the root\n"
    "  --channel NAME      record the release's channel on the root (\"beta\"):\n"
    "                      clients run with --channel NAME refuse any other\n"
    "  --notes FILE        the release notes (plain text, or HTML when FILE ends in\n"
    "                      .html or .htm; at most 64 KiB): copied to\n"
    "                      FOLDER/.notes/NAME, named on the root (notes_url) with\n"
    "                      their SHA-256 (notes_sha256); the window shows them as\n"
    "                      \"What's new\". Publish the .notes folder with the release\n"
    "  --rollout PERCENT   offer the release to the first PERCENT % of installations\n"
    "                      only (a whole number from 0 to 100; 0 halts it): the\n"
    "                      root's rollout\n"
    "  --expires DAYS      record that the manifest expires DAYS days from now (UTC,\n"
    "                      from 1 to 36500): clients that check signatures refuse\n"
    "                      it afterwards, so sign and publish a fresh one in time\n"
    "  --jobs N            hash N files at once (default: one per processor core)\n"
    "  --chunks            also write a chunk index for every file larger than the\n"
    "                      threshold, so that clients fetch only the changed parts\n"
    "                      of it: the index of the file with url U goes to\n"
    "                      FOLDER/.chunks/U.idx, and the file gets the attributes\n"
    "                      chunks (\".chunks/U.idx\") and chunks_sha256; indexes of\n"
    "                      earlier runs that no file needs any more are removed.\n"
    "                      Publish the .chunks folder with the release\n"
    "  --chunk_threshold BYTES\n"
    "                      only files strictly larger get an index (default\n"
    "                      1048576, 1 MiB; 0: every file that is not empty)\n"
    "  --follow_internal_links\n"
    "                      describe a link inside FOLDER as its target: the same\n"
    "                      checksums under the link's name, and the target's url,\n"
    "                      which clients fetch; a link that leaves FOLDER is still\n"
    "                      an error\n"
    "  --allow_non_windows_names\n"
    "                      write the manifest even when an entry has a name Windows\n"
    "                      cannot hold (CON, aux.txt, a trailing dot or space,\n"
    "                      < > : \" | ? *, a control character, or two names of\n"
    "                      one folder that differ only in case); without it, such\n"
    "                      a name ends the command with status 2\n"
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
    "inside FOLDER, and so is the updater's bookkeeping beside it (install-id, and\n"
    "the lock file .MANIFEST.lock) unless MANIFEST lists them. A link inside FOLDER is checked as its target; a link that\n"
    "leaves FOLDER, or leads nowhere, is an error.\n"
    "\n"
    "\n"
    "Options:\n"
    "  --jobs N     hash N files at once (default: one per processor core)\n"
    "  -h, --help   show this help\n"
    "\n"
    "Exit status: 0 when the folder matches, 1 when it does not, 2 on error.\n";

const char *const keygenHelp =
    "Usage: manifesttool keygen NAME\n"
    "Makes a new Ed25519 signing key pair and writes NAME.key, the private key\n"
    "(PEM PKCS#8, readable by its owner only), and NAME.pub, the public key (PEM)\n"
    "to ship with the application. Keep NAME.key secret and out of every release.\n"
    "An existing NAME.key or NAME.pub is never overwritten.\n"
    "\n"
    "Exit status: 0 when both files were written, 2 on error.\n";

const char *const signHelp =
    "Usage: manifesttool sign FILE --key NAME.key [--key OTHER.key...]\n"
    "Signs FILE (a manifest, a version list, any regular file of at most 1 GiB)\n"
    "and writes FILE.sig: the base64 of its Ed25519 signature on one line, the\n"
    "same as 'openssl pkeyutl -sign -rawin -inkey NAME.key -in FILE | base64 -w0'.\n"
    "With --key given several times (while a key is being replaced), FILE.sig\n"
    "holds one line per key, in the order given; clients accept a signature by\n"
    "any key they have. An existing FILE.sig is replaced. Sign the file exactly\n"
    "as it is published: any later change to it, even of one byte, makes the\n"
    "signature invalid.\n"
    "\n"
    "Options:\n"
    "  --key FILE   a private key (required; may be given several times)\n"
    "  -h, --help   show this help\n"
    "\n"
    "Exit status: 0 when FILE.sig was written, 2 on error (FILE larger than\n"
    "1 GiB, not a regular file, or changing while it is read; a key unusable).\n";

const char *const checkSignatureHelp =
    "Usage: manifesttool check-signature FILE --public_key NAME.pub [--public_key ...]\n"
    "Checks FILE.sig against FILE with the public keys, as the clients do, and\n"
    "prints FILE followed by \"signature valid\" (a line of FILE.sig is the\n"
    "signature of one of the keys), \"signature missing\" (no FILE.sig, or an\n"
    "empty one) or \"signature invalid\". A key file may hold several keys.\n"
    "\n"
    "Options:\n"
    "  --public_key FILE   a public key (required; may be given several times)\n"
    "  -h, --help          show this help\n"
    "\n"
    "Exit status: 0 when the signature is valid, 1 when it is missing or invalid,\n"
    "2 on error (FILE, FILE.sig or a key cannot be read, FILE is larger than\n"
    "1 GiB or is not a regular file).\n";

// A signature file is 16 lines of 90 bytes at most; a larger one is no
// signature file.
constexpr qint64 kMaxSignatureFileSize = 4096;
// Files are signed and checked whole, in memory, as the openssl command
// line does (which refuses more than 2 GiB): nothing is signed that it
// cannot check. Manifests and version lists stay far below.
constexpr qint64 kMaxSignedFileSize = RegularFile::maximumLimit;
constexpr int kMaxExpiryDays = 36500;
constexpr int kMaxJobs = 64;
// Release notes are fetched whole by the clients, up to this size.
constexpr qint64 kMaxNotesSize = 64 * 1024;
const char *const kNotesFolder = ".notes";

// A staged rollout's percent as the clients read it: digits only, 0 to 100.
bool parsePercent(const QString &text, int *percent)
{
    if (text.isEmpty() || text.size() > 3)
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    *percent = text.toInt();
    return *percent <= 100;
}

// Parses a whole number from `minimum` to `maximum`; false otherwise.
bool parseBounded(const QString &text, int minimum, int maximum, int *value)
{
    bool ok = false;
    const int parsed = text.toInt(&ok);
    if (!ok || parsed < minimum || parsed > maximum)
        return false;
    *value = parsed;
    return true;
}

struct CommandLine
{
    QStringList positional;
    QMap<QString, QString> values;
    // Every value of an option given several times, in order.
    QMap<QString, QStringList> allValues;
    QSet<QString> flags;
    bool help = false;
    QString error;
};

// Splits a command's arguments. `valueOptions` maps each spelling of an
// option that takes a value to its key in `values`; `flagOptions` are the
// options without a value, collected in `flags`.
CommandLine parseCommandLine(const QStringList &arguments, const QMap<QString, QString> &valueOptions,
                             const QSet<QString> &flagOptions = {})
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
        } else if (flagOptions.contains(argument)) {
            result.flags.insert(argument);
        } else {
            const int equals = argument.indexOf(QLatin1Char('='));
            const QString name = equals < 0 ? argument : argument.left(equals);
            if (!valueOptions.contains(name)) {
                result.error = QStringLiteral("unknown option '%1'").arg(name);
                return result;
            }
            if (equals >= 0 || i + 1 < arguments.size()) {
                const QString value = equals >= 0 ? argument.mid(equals + 1) : arguments.at(++i);
                result.values.insert(valueOptions.value(name), value);
                result.allValues[valueOptions.value(name)].append(value);
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

// The files of a manifest tree by their path from the root, in the order of
// QString keys; of two files with one path the later one counts. A path is
// kept as UTF-8 in one buffer: a manifest may list millions of entries.
class FileList
{
public:
    explicit FileList(const ManifestTree &tree)
        : m_tree(tree)
    {
        if (tree.isEmpty())
            return;
        // Directories still to walk, with their path and a "/".
        std::vector<std::pair<ManifestTree::Node, QByteArray>> pending{{tree.root(), QByteArray()}};
        while (!pending.empty()) {
            const auto [directory, prefix] = pending.back();
            pending.pop_back();
            for (ManifestTree::Node child = tree.firstChild(directory); child != ManifestTree::kNone;
                 child = tree.nextSibling(child)) {
                const QByteArray path = prefix + tree.attribute(child, ManifestTree::NameAttribute).toUtf8();
                if (tree.isFile(child)) {
                    m_entries.push_back(Entry{quint32(m_paths.size()), quint32(path.size()), child});
                    m_paths.append(path.constData(), size_t(path.size()));
                } else if (tree.isDirectory(child)) {
                    pending.emplace_back(child, path + '/');
                }
            }
        }
        const auto order = [this](const Entry &a, const Entry &b) {
            const int byPath = ManifestTree::compareNames(pathOf(a), pathOf(b));
            return byPath != 0 ? byPath < 0 : a.node < b.node;
        };
        std::sort(m_entries.begin(), m_entries.end(), order);
        // The last of a run of equal paths is the one a map would keep.
        std::vector<Entry> unique;
        unique.reserve(m_entries.size());
        for (size_t i = 0; i < m_entries.size(); ++i) {
            if (i + 1 < m_entries.size() && ManifestTree::compareNames(pathOf(m_entries[i]), pathOf(m_entries[i + 1])) == 0)
                continue;
            unique.push_back(m_entries[i]);
        }
        m_entries.swap(unique);
    }

    size_t size() const { return m_entries.size(); }
    QString path(size_t i) const { return pathOf(m_entries[i]).toString(); }
    QString attribute(size_t i, quint32 name, const QString &fallback) const
    {
        return m_tree.attributeText(m_entries[i].node, name, fallback);
    }

private:
    struct Entry
    {
        quint32 offset;
        quint32 length;
        ManifestTree::Node node;
    };
    ManifestTree::Value pathOf(const Entry &entry) const
    {
        return ManifestTree::Value{m_paths.data() + entry.offset, int(entry.length), false};
    }

    const ManifestTree &m_tree;
    std::string m_paths;
    std::vector<Entry> m_entries;
};

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

// The first entry below `element` whose name Windows cannot hold, with the
// reason, or empty: a release that breaks there fails where it is made.
QString firstNonWindowsName(const QDomElement &element)
{
    QHash<QString, QString> seen;
    for (QDomElement child = element.firstChildElement(); !child.isNull(); child = child.nextSiblingElement()) {
        if (!isFile(child) && !isDirectory(child))
            continue;
        const QString problem = WindowsNames::problemInFolder(child.attribute(QStringLiteral("name")), &seen);
        if (!problem.isEmpty())
            return QStringLiteral("'%1' is a name Windows cannot hold: %2").arg(elementPath(child), problem);
        const QString below = isDirectory(child) ? firstNonWindowsName(child) : QString();
        if (!below.isEmpty())
            return below;
    }
    return QString();
}

// Puts the notes at FOLDER/.notes/NAME in one rename, never through a
// link; the folder is hidden, so no scan lists it.
bool writeNotes(const QString &folder, const QString &name, const QByteArray &notes, QString *error)
{
    const DestinationFolder destination(folder);
    if (destination.root().isEmpty()) {
        *error = destination.openError();
        return false;
    }
    const DestinationFolder::Folder notesFolder = destination.makeFolder(QLatin1String(kNotesFolder), error);
    if (!notesFolder.isOpen())
        return false;
    StagedFile file;
    if (!file.create(notesFolder) || file.write(notes) != notes.size() || file.writeFailed() || !file.commit(name)) {
        *error = file.errorString();
        return false;
    }
    return true;
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
    if (command == QLatin1String("keygen"))
        return keygen(rest);
    if (command == QLatin1String("sign"))
        return sign(rest);
    if (command == QLatin1String("check-signature"))
        return checkSignature(rest);
    if (command == QLatin1String("check-list"))
        return VersionListCheck::run(rest);
    if (command == QLatin1String("--version")) {
        printOut(QStringLiteral("manifesttool " UPDATER_PROJECT_VERSION));
        return Success;
    }
    if (command == QLatin1String("-h") || command == QLatin1String("--help") || command == QLatin1String("help")) {
        std::fputs(generalHelp, stdout);
        return Success;
    }
    if (command.isEmpty())
        return fail(QStringLiteral("no command given; run 'manifesttool --help'"));
    return fail(QStringLiteral("unknown command '%1'; run 'manifesttool --help'").arg(command));
}

bool ManifestTool::readManifest(const QString &path, ManifestTree *tree)
{
    // The reader refuses input too deep or too large as it streams in.
    QString error;
    if (ManifestReader::readFile(path, tree, &error))
        return true;
    fail(error);
    return false;
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

bool ManifestTool::scanFolder(const QString &folder, const QString &excludedFile, int jobs, QDomDocument *document,
                              const FolderScanner::ContentObserverFactory &observerFactory, bool followInternalLinks)
{
    QStringList problems;
    {
        ScanProgress progress(folder);
        *document = ManifestBuilder::fromFolder(folder, excludedFile, jobs, observerFactory, followInternalLinks, &problems);
    }
    if (!problems.isEmpty()) {
        for (const QString &problem : qAsConst(problems))
            fail(problem);
        return false;
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
                    {QStringLiteral("--version"), QStringLiteral("version")},
                    {QStringLiteral("--expires"), QStringLiteral("expires")},
                    {QStringLiteral("--jobs"), QStringLiteral("jobs")},
                    {QStringLiteral("--chunk_threshold"), QStringLiteral("chunk_threshold")},
                    {QStringLiteral("--channel"), QStringLiteral("channel")},
                    {QStringLiteral("--notes"), QStringLiteral("notes")},
                    {QStringLiteral("--rollout"), QStringLiteral("rollout")}},
        {QStringLiteral("--chunks"), QStringLiteral("--follow_internal_links"), QStringLiteral("--allow_non_windows_names")});
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
    int expiryDays = 0;
    if (line.values.contains(QStringLiteral("expires"))
        && !parseBounded(line.values.value(QStringLiteral("expires")), 1, kMaxExpiryDays, &expiryDays))
        return fail(QStringLiteral("create: --expires takes a number of days from 1 to %1").arg(kMaxExpiryDays));
    if (line.values.contains(QStringLiteral("channel")) && line.values.value(QStringLiteral("channel")).isEmpty())
        return fail(QStringLiteral("create: --channel takes a name"));
    int jobs = 0;
    if (line.values.contains(QStringLiteral("jobs"))
        && !parseBounded(line.values.value(QStringLiteral("jobs")), 1, kMaxJobs, &jobs))
        return fail(QStringLiteral("create: --jobs takes a number from 1 to %1").arg(kMaxJobs));
    const bool chunks = line.flags.contains(QStringLiteral("--chunks"));
    qint64 chunkThreshold = ChunkIndexWriter::kDefaultThreshold;
    if (line.values.contains(QStringLiteral("chunk_threshold"))) {
        bool ok = false;
        chunkThreshold = line.values.value(QStringLiteral("chunk_threshold")).toLongLong(&ok);
        if (!ok || chunkThreshold < 0)
            return fail(QStringLiteral("create: --chunk_threshold takes a number of bytes, 0 or more"));
        if (!chunks)
            return fail(QStringLiteral("create: --chunk_threshold needs --chunks"));
    }
    int rollout = -1;
    if (line.values.contains(QStringLiteral("rollout"))
        && !parsePercent(line.values.value(QStringLiteral("rollout")), &rollout))
        return fail(QStringLiteral("create: --rollout takes a whole percent from 0 to 100"));
    QByteArray notes;
    const QString notesFile = line.values.value(QStringLiteral("notes"));
    const QString notesName = QFileInfo(notesFile).fileName();
    if (line.values.contains(QStringLiteral("notes"))) {
        if (notesName.isEmpty() || notesName.startsWith(QLatin1Char('.')) || notesName.contains(QLatin1Char(':'))
            || notesName.contains(QLatin1Char('\\')))
            return fail(QStringLiteral("create: --notes needs a file with a plain name, not '%1'").arg(notesFile));
        if (!readWholeFile(notesFile, kMaxNotesSize, &notes))
            return Failure;
    }
    const bool toStandardOutput = output == QLatin1String("-");

    const QString folder = line.positional.first();
    if (!checkFolder(folder))
        return Failure;
    QDomDocument document;
    std::unique_ptr<ChunkIndexWriter> indexes;
    if (chunks)
        indexes = std::make_unique<ChunkIndexWriter>(folder, chunkThreshold);
    if (!scanFolder(folder, toStandardOutput ? QString() : pathInside(folder, output), jobs, &document,
                    indexes ? indexes->observerFactory() : FolderScanner::ContentObserverFactory(),
                    line.flags.contains(QStringLiteral("--follow_internal_links"))))
        return Failure;
    QDomElement root = document.documentElement();
    if (!line.flags.contains(QStringLiteral("--allow_non_windows_names"))) {
        const QString problem = firstNonWindowsName(root);
        if (!problem.isEmpty())
            return fail(QStringLiteral("create: %1 (--allow_non_windows_names writes the manifest anyway)").arg(problem));
    }
    // Before the manifest: it must never name an index that is not there.
    if (indexes && !indexes->write(root))
        return fail(QStringLiteral("create: %1").arg(indexes->errorString()));
    if (line.values.contains(QStringLiteral("version")))
        root.setAttribute(QStringLiteral("version"), line.values.value(QStringLiteral("version")));
    // Inside the signed manifest: a release of one channel cannot be
    // replayed to clients of another.
    if (line.values.contains(QStringLiteral("channel")))
        root.setAttribute(QStringLiteral("channel"), line.values.value(QStringLiteral("channel")));
    if (rollout >= 0)
        root.setAttribute(QStringLiteral("rollout"), QString::number(rollout));
    // Before the manifest: it must never name notes that are not there.
    if (line.values.contains(QStringLiteral("notes"))) {
        QString error;
        if (!writeNotes(folder, notesName, notes, &error))
            return fail(QStringLiteral("create: cannot write the notes: %1").arg(error));
        root.setAttribute(QStringLiteral("notes_url"), QLatin1String(kNotesFolder) + QLatin1Char('/') + notesName);
        root.setAttribute(QStringLiteral("notes_sha256"),
                          QString::fromLatin1(QCryptographicHash::hash(notes, QCryptographicHash::Sha256).toHex()));
    }
    if (expiryDays > 0) {
        // Whole seconds in UTC: every reader parses the same instant.
        QDateTime expires = QDateTime::currentDateTimeUtc().addDays(expiryDays);
        expires.setTime(QTime(expires.time().hour(), expires.time().minute(), expires.time().second()));
        root.setAttribute(QStringLiteral("expires"), expires.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss'Z'")));
    }
    if (toStandardOutput) {
        QFile out;
        if (!out.open(stdout, QIODevice::WriteOnly) || !writeManifestDocument(&out, document) || !out.flush())
            return fail(QStringLiteral("cannot write the manifest to standard output: %1").arg(out.errorString()));
        return Success;
    }
    if (!saveManifestDocument(output, document))
        return fail(QStringLiteral("cannot write '%1'").arg(output));

    QMap<QString, QDomElement> files;
    collectFiles(root, &files);
    QString summary = QStringLiteral("%1: %2 files, global checksum %3").arg(output).arg(files.size()).arg(elementCrc(root));
    if (indexes)
        summary += QStringLiteral("; %1 chunk indexes in %2, %3 stale ones removed")
                       .arg(indexes->writtenCount())
                       .arg(QDir(folder).filePath(ChunkIndexWriter::folderName()))
                       .arg(indexes->removedCount());
    printOut(summary);
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

    ManifestTree distant;
    ManifestTree local(distant);
    if (!readManifest(line.positional.at(0), &distant) || !readManifest(line.positional.at(1), &local))
        return Failure;

    const std::vector<TreeComparison::Difference> differences = TreeComparison::compare(distant, &local);
    for (const TreeComparison::Difference &difference : differences) {
        // A REMOVED entry is a local one.
        const ManifestTree &tree = difference.type == REMOVED ? local : distant;
        const QString kind = difference.type == NEW       ? QStringLiteral("NEW")
                             : difference.type == CHANGED ? QStringLiteral("CHANGED")
                                                          : QStringLiteral("REMOVED");
        const QString suffix = tree.isDirectory(difference.distant) ? QStringLiteral("/") : QString();
        printOut(QStringLiteral("%1 %2%3").arg(kind, -7).arg(tree.path(difference.distant), suffix));
    }
    return differences.empty() ? Success : Differences;
}

int ManifestTool::verify(const QStringList &arguments)
{
    const CommandLine line = parseCommandLine(arguments, {{QStringLiteral("--jobs"), QStringLiteral("jobs")}});
    if (line.help) {
        std::fputs(verifyHelp, stdout);
        return Success;
    }
    if (!line.error.isEmpty())
        return fail(QStringLiteral("verify: %1").arg(line.error));
    if (line.values.contains(QStringLiteral("channel")) && line.values.value(QStringLiteral("channel")).isEmpty())
        return fail(QStringLiteral("create: --channel takes a name"));
    int jobs = 0;
    if (line.values.contains(QStringLiteral("jobs"))
        && !parseBounded(line.values.value(QStringLiteral("jobs")), 1, kMaxJobs, &jobs))
        return fail(QStringLiteral("verify: --jobs takes a number from 1 to %1").arg(kMaxJobs));
    if (line.positional.size() != 2)
        return fail(QStringLiteral("verify: expected MANIFEST and FOLDER, got %1 arguments").arg(line.positional.size()));

    const QString manifestPath = line.positional.at(0);
    const QString folder = line.positional.at(1);
    ManifestTree manifest;
    if (!readManifest(manifestPath, &manifest) || !checkFolder(folder))
        return Failure;
    QDomDocument installed;
    if (!scanFolder(folder, pathInside(folder, manifestPath), jobs, &installed))
        return Failure;

    const FileList expected(manifest);
    QMap<QString, QDomElement> actual;
    collectFiles(installed.documentElement(), &actual);
    // What the updater keeps beside its local manifest is no part of the
    // installation, unless the manifest says it is.
    QSet<QString> bookkeeping;
    const QString manifestInside = pathInside(folder, manifestPath);
    if (!manifestInside.isEmpty()) {
        const QString beside = manifestInside.left(manifestInside.lastIndexOf(QLatin1Char('/')) + 1);
        bookkeeping << beside + QStringLiteral("install-id")
                    << beside + QLatin1Char('.') + manifestInside.mid(beside.size()) + QStringLiteral(".lock");
    }

    // One pass over both path-ordered maps, so the report is sorted by path.
    int problems = 0;
    auto report = [&](const char *kind, const QString &path) {
        printOut(QStringLiteral("%1 %2").arg(QLatin1String(kind), -9).arg(path));
        ++problems;
    };
    size_t e = 0;
    auto a = actual.cbegin();
    while (e < expected.size() || a != actual.cend()) {
        const QString path = e < expected.size() ? expected.path(e) : QString();
        if (a == actual.cend() || (e < expected.size() && path < a.key())) {
            report("missing", path);
            ++e;
        } else if (e == expected.size() || a.key() < path) {
            if (!bookkeeping.contains(a.key()))
                report("unlisted", a.key());
            ++a;
        } else {
            bool sizeOk = false;
            const qint64 expectedSize = expected.attribute(e, ManifestTree::SizeAttribute, QStringLiteral("0")).toLongLong(&sizeOk);
            if (!sizeOk || expectedSize != elementSize(a.value()).toLongLong())
                report("size", path);
            else if (expected.attribute(e, ManifestTree::CrcAttribute, QString()).compare(elementCrc(a.value()), Qt::CaseInsensitive) != 0)
                report("checksum", path);
            ++e;
            ++a;
        }
    }
    if (problems > 0)
        return Differences;
    printOut(QStringLiteral("%1 matches %2: %3 files").arg(folder, manifestPath).arg(expected.size()));
    return Success;
}

bool ManifestTool::readWholeFile(const QString &path, qint64 limit, QByteArray *content)
{
    QString error;
    if (RegularFile::read(path, limit, content, &error) == RegularFile::Read)
        return true;
    fail(QStringLiteral("cannot read '%1': %2").arg(path, error));
    return false;
}

int ManifestTool::keygen(const QStringList &arguments)
{
    const CommandLine line = parseCommandLine(arguments, {});
    if (line.help) {
        std::fputs(keygenHelp, stdout);
        return Success;
    }
    if (!line.error.isEmpty())
        return fail(QStringLiteral("keygen: %1").arg(line.error));
    if (line.positional.size() != 1 || line.positional.first().isEmpty())
        return fail(QStringLiteral("keygen: expected one NAME, got %1 arguments").arg(line.positional.size()));

    const QString name = line.positional.first();
    QString error;
    if (!PrivateKey::generateKeyPair(name, &error))
        return fail(QStringLiteral("keygen: %1").arg(error));
    printOut(QStringLiteral("%1.key and %1.pub written; keep %1.key secret").arg(name));
    return Success;
}

int ManifestTool::sign(const QStringList &arguments)
{
    const CommandLine line = parseCommandLine(arguments, {{QStringLiteral("--key"), QStringLiteral("key")}});
    if (line.help) {
        std::fputs(signHelp, stdout);
        return Success;
    }
    if (!line.error.isEmpty())
        return fail(QStringLiteral("sign: %1").arg(line.error));
    if (line.positional.size() != 1)
        return fail(QStringLiteral("sign: expected one FILE, got %1 arguments").arg(line.positional.size()));
    const QStringList keyPaths = line.allValues.value(QStringLiteral("key"));
    if (keyPaths.isEmpty() || keyPaths.contains(QString()))
        return fail(QStringLiteral("sign: the private key is missing (--key NAME.key)"));
    if (keyPaths.size() > KeyRing::maximumKeys)
        return fail(QStringLiteral("sign: more than %1 keys").arg(KeyRing::maximumKeys));

    QString error;
    QList<PrivateKey> keys;
    for (const QString &keyPath : keyPaths) {
        keys.append(PrivateKey::fromPemFile(keyPath, &error));
        if (keys.last().isNull())
            return fail(QStringLiteral("sign: %1").arg(error));
    }
    const QString path = line.positional.first();
    QByteArray message;
    if (!readWholeFile(path, kMaxSignedFileSize, &message))
        return Failure;
    // One line per key, in the order given: readers of one line see the
    // first key's signature as before.
    QByteArray signature;
    for (const PrivateKey &key : qAsConst(keys)) {
        const QByteArray one = key.signatureFile(message, &error);
        if (one.isEmpty())
            return fail(QStringLiteral("sign: %1").arg(error));
        signature += one;
    }

    // Replaced in one step: a client never fetches half a signature.
    const QString signaturePath = path + QStringLiteral(".sig");
    QSaveFile file(signaturePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(signature) != signature.size() || !file.commit())
        return fail(QStringLiteral("cannot write '%1': %2").arg(signaturePath, file.errorString()));
    printOut(QStringLiteral("%1 written").arg(signaturePath));
    return Success;
}

int ManifestTool::checkSignature(const QStringList &arguments)
{
    const CommandLine line =
        parseCommandLine(arguments, {{QStringLiteral("--public_key"), QStringLiteral("public_key")}});
    if (line.help) {
        std::fputs(checkSignatureHelp, stdout);
        return Success;
    }
    if (!line.error.isEmpty())
        return fail(QStringLiteral("check-signature: %1").arg(line.error));
    if (line.positional.size() != 1)
        return fail(QStringLiteral("check-signature: expected one FILE, got %1 arguments").arg(line.positional.size()));
    const QStringList keyPaths = line.allValues.value(QStringLiteral("public_key"));
    if (keyPaths.isEmpty() || keyPaths.contains(QString()))
        return fail(QStringLiteral("check-signature: the public key is missing (--public_key NAME.pub)"));

    QString error;
    KeyRing keys;
    for (const QString &keyPath : keyPaths) {
        if (!keys.addFile(keyPath, &error))
            return fail(QStringLiteral("check-signature: %1").arg(error));
    }
    const QString path = line.positional.first();
    QByteArray message;
    if (!readWholeFile(path, kMaxSignedFileSize, &message))
        return Failure;

    // No signature file reads as an empty one: the signature is missing.
    const QString signaturePath = path + QStringLiteral(".sig");
    QByteArray signature;
    const RegularFile::Result read = RegularFile::read(signaturePath, kMaxSignatureFileSize, &signature, &error);
    if (read != RegularFile::Read && read != RegularFile::Missing)
        return fail(QStringLiteral("cannot read '%1': %2").arg(signaturePath, error));

    const SignatureCheck check = keys.verify(message, signature);
    QString report = QStringLiteral("%1: %2").arg(path, signatureCheckText(check));
    if (check == SignatureCheck::Malformed)
        report += QStringLiteral(" (%1 is not one line of base64 for each 64-byte signature)").arg(signaturePath);
    printOut(report);
    return check == SignatureCheck::Valid ? Success : Rejected;
}
