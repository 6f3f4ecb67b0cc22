#include "manifestupdate.h"

#include "manifestwriter.h"

ManifestUpdate::ManifestUpdate()
    : m_local(m_distant)
{
}

void ManifestUpdate::ensureLocalRoot()
{
    if (m_local.isEmpty())
        m_local.appendElement(ManifestTree::kNone, m_local.nameId(QStringLiteral("UPDATE_STRUCTURE")), nullptr, 0);
}

void ManifestUpdate::compare()
{
    m_differences = TreeComparison::compare(m_distant, &m_local);
}

size_t ManifestUpdate::addChanged(ManifestTree::Node distantFile, ManifestTree::Node localFile)
{
    m_differences.push_back(TreeComparison::Difference{CHANGED, distantFile, localFile});
    return m_differences.size() - 1;
}

void ManifestUpdate::recordWritten(size_t difference)
{
    TreeComparison::Difference &record = m_differences.at(difference);
    if (record.type == NEW) {
        m_local.appendCopy(record.local, m_distant, record.distant, true);
    } else if (record.type == CHANGED && m_local.isDirectory(record.local)) {
        // A folder that became a file, in the folder's place.
        const ManifestTree::Node file = m_local.appendCopy(ManifestTree::kNone, m_distant, record.distant, true);
        m_local.replace(record.local, file);
        record.local = file;
    } else if (record.type == CHANGED) {
        // An attribute the release lacks is dropped rather than set empty:
        // an empty "version" reads differently from a missing one ("0"),
        // and every later run would fetch the file again.
        for (const quint32 name : {ManifestTree::NameAttribute, ManifestTree::CrcAttribute, ManifestTree::DateAttribute,
                                   ManifestTree::VersionAttribute, ManifestTree::UrlAttribute,
                                   ManifestTree::SizeAttribute, ManifestTree::Sha256Attribute}) {
            bool found = false;
            const int count = m_distant.attributeCount(record.distant);
            for (int i = 0; i < count && !found; ++i) {
                const ManifestTree::Attribute &attribute = m_distant.attributeAt(record.distant, i);
                if (attribute.name == name) {
                    m_local.setAttribute(record.local, attribute);
                    found = true;
                }
            }
            if (!found)
                m_local.removeAttribute(record.local, name);
        }
    }
}

void ManifestUpdate::dropDirectoryCopy(size_t difference)
{
    const TreeComparison::Difference &record = m_differences.at(difference);
    if (record.local == ManifestTree::kNone)
        return;
    // The copy is the first child of that name: the name was not there.
    const ManifestTree::Value name = m_distant.attribute(record.distant, ManifestTree::NameAttribute);
    for (ManifestTree::Node child = m_local.firstChild(record.local); child != ManifestTree::kNone;
         child = m_local.nextSibling(child)) {
        if (m_local.isElement(child) && m_local.attribute(child, ManifestTree::NameAttribute) == name) {
            m_local.remove(child);
            return;
        }
    }
}

void ManifestUpdate::makeDirectory(ManifestTree::Node localFile)
{
    m_local.setTag(localFile, ManifestTree::DirectoryTag);
    for (int i = m_local.attributeCount(localFile) - 1; i >= 0; --i) {
        const quint32 name = m_local.attributeAt(localFile, i).name;
        if (name != ManifestTree::NameAttribute)
            m_local.removeAttribute(localFile, name);
    }
}

void ManifestUpdate::dropChildren(ManifestTree::Node node)
{
    while (m_local.firstChild(node) != ManifestTree::kNone)
        m_local.remove(m_local.firstChild(node));
}

void ManifestUpdate::removeEntry(size_t difference)
{
    m_local.remove(m_differences.at(difference).local);
}

QString ManifestUpdate::finish(const QString &version)
{
    ensureLocalRoot();
    m_local.setAttribute(m_local.root(), ManifestTree::VersionAttribute, version);
    const QString checksum = m_local.globalChecksum();
    m_local.setAttribute(m_local.root(), ManifestTree::CrcAttribute, checksum);
    return checksum;
}

bool ManifestUpdate::write(QIODevice *device, QString *error) const
{
    ManifestWriter writer(device);
    if (m_local.isEmpty() || !writer.write(m_local, m_local.root())) {
        if (error)
            *error = m_local.isEmpty() ? QStringLiteral("no local tree") : writer.errorString();
        return false;
    }
    return true;
}
