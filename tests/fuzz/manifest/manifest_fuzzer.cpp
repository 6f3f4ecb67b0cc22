// libFuzzer entry for what is done with a manifest from outside: reading,
// comparison, element paths, canonical order, global checksum, saving and
// reading back, on the DOM and on the compact trees the updater uses, which
// must agree. The input holds two manifests, the distant one before the
// first NUL byte and the local one after it (a manifest never holds a NUL);
// without one, the input is compared with itself.
#include "fuzzcheck.h"
#include "manifest.h"
#include "manifestcomparison.h"
#include "manifestreader.h"
#include "manifestupdate.h"
#include "manifestwriter.h"

#include <QBuffer>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

QDomDocument readFrom(QByteArray bytes)
{
    QBuffer buffer(&bytes);
    QString error;
    const QDomDocument document = readManifestDocument(&buffer, &error);
    // A refusal always says why, on one line; a document read says nothing.
    FUZZ_CHECK(document.isNull() != error.isEmpty());
    FUZZ_CHECK(!error.contains(QLatin1Char('\n')));
    return document;
}

// Every element below and including root, in document order, without
// recursion.
std::vector<QDomElement> elementsOf(const QDomElement &root)
{
    std::vector<QDomElement> elements;
    if (root.isNull())
        return elements;
    std::vector<QDomElement> pending{root};
    while (!pending.empty()) {
        const QDomElement element = pending.back();
        pending.pop_back();
        elements.push_back(element);
        for (QDomElement child = element.lastChildElement(); !child.isNull(); child = child.previousSiblingElement())
            pending.push_back(child);
    }
    return elements;
}

QString serialized(const QDomElement &root)
{
    QString text;
    QTextStream stream(&text);
    root.save(stream, 0);
    return text;
}

const QString &scratchFile()
{
    static QTemporaryDir directory;
    static const QString path = directory.filePath(QStringLiteral("manifest.xml"));
    return path;
}

// The global checksum is stable, leaves the tree in canonical order, and
// survives saving and reading back.
void checkChecksumAndSave(QDomElement root)
{
    Manifest manifest(root);
    const QString checksum = manifest.globalChecksum();
    FUZZ_CHECK(checksum == hashHex(canonicalString(root), QCryptographicHash::Sha1));
    const QString ordered = serialized(root);
    sortTree(root);
    FUZZ_CHECK(serialized(root) == ordered);
    if (root.isNull())
        return;
    FUZZ_CHECK(saveManifestRoot(scratchFile(), root));
    QString error;
    const QDomDocument readBack = readManifestDocument(scratchFile(), &error);
    if (readBack.isNull())
        std::fprintf(stderr, "read back: %s\n", qPrintable(error));
    FUZZ_CHECK(!readBack.isNull());
    FUZZ_CHECK(Manifest(readBack.documentElement()).globalChecksum() == checksum);
}

QByteArray utf8Saved(const QDomElement &root)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QTextStream stream(&buffer);
    stream.setCodec("UTF-8");
    root.save(stream, 0, QDomNode::EncodingFromTextStream);
    stream.flush();
    return bytes;
}

// The compact trees of both texts against the DOMs made from them: the same
// local tree saved, the same records, and the same local tree once the
// comparison has added the new directories to both.
void checkTreesAgree(const QByteArray &distantText, const QByteArray &localText)
{
    ManifestUpdate update;
    const bool distantRead = ManifestReader(distantText, QStringLiteral("d")).read(&update.distant());
    const bool localRead = ManifestReader(localText, QStringLiteral("l")).read(&update.local());
    QByteArray distantCopy = distantText, localCopy = localText;
    QBuffer distantBuffer(&distantCopy), localBuffer(&localCopy);
    const QDomDocument distant = readManifestDocument(&distantBuffer), local = readManifestDocument(&localBuffer);
    FUZZ_CHECK(distantRead == !distant.isNull() && localRead == !local.isNull());
    if (!distantRead || !localRead)
        return;
    QByteArray saved;
    QBuffer buffer(&saved);
    buffer.open(QIODevice::WriteOnly);
    FUZZ_CHECK(update.write(&buffer, nullptr) && saved == utf8Saved(local.documentElement()));

    QList<DOM_DIFF *> records;
    compareDirectories(distant.documentElement(), local.documentElement(), &records);
    update.compare();
    FUZZ_CHECK(size_t(records.size()) == update.differences().size());
    for (int i = 0; i < records.size() && size_t(i) < update.differences().size(); ++i)
        FUZZ_CHECK(records.at(i)->type == update.differences()[size_t(i)].type);
    qDeleteAll(records);
    buffer.close();
    saved.clear();
    buffer.open(QIODevice::WriteOnly);
    FUZZ_CHECK(update.write(&buffer, nullptr) && saved == utf8Saved(local.documentElement()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    const int split = input.indexOf('\0');
    checkTreesAgree(split < 0 ? input : input.left(split), split < 0 ? input : input.mid(split + 1));
    const QDomDocument distant = readFrom(split < 0 ? input : input.left(split));
    const QDomDocument local = readFrom(split < 0 ? input : input.mid(split + 1));

    QPair<QDomElement, QDomElement> roots(distant.documentElement(), local.documentElement());
    const std::unique_ptr<QList<DOM_DIFF *>> differences(compareManifests(&roots));
    for (DOM_DIFF *difference : qAsConst(*differences)) {
        // Without a distant tree everything installed is to be removed; the
        // update manager refuses such a run before it compares.
        FUZZ_CHECK(!roots.first.isNull() || (difference->type == REMOVED && difference->local.parentNode() == roots.second));
        FUZZ_CHECK(difference->type == CHANGED || difference->type == REMOVED || difference->type == NEW);
        FUZZ_CHECK(!difference->distant.isNull());
        FUZZ_CHECK(difference->type != REMOVED || difference->distant == difference->local);
        FUZZ_CHECK(difference->type != CHANGED || !difference->local.isNull());
        elementPath(difference->distant);
        elementPath(difference->local);
    }
    qDeleteAll(*differences);

    // The local tree now holds the copies of new directories too.
    for (const QDomElement &root : {roots.first, roots.second}) {
        for (const QDomElement &element : elementsOf(root)) {
            elementPath(element);
            elementDate(element);
        }
        checkChecksumAndSave(root);
    }
    return 0;
}
