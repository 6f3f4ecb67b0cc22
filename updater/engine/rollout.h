#ifndef ROLLOUT_H
#define ROLLOUT_H

#include <QDomElement>
#include <QString>
#include <QtGlobal>

// A staged rollout: a release whose root says rollout="P" is offered to
// the first P % of installations only, so that a bad release reaches few
// before it is halted (P = 0). Where an installation falls is a stable
// hash of its id (InstallId) and the release's version: the same
// installation gets the same answer on every run of a release, the share
// grows with P without taking the release back from anyone, and each
// release picks its own first installations.
class Rollout
{
public:
    // Buckets per installation draw: P % is P * 100 of them.
    static constexpr int kBuckets = 10000;

    // The attribute's value: a whole number from 0 to 100, nothing else
    // (no sign, blank or fraction). False when it is not one.
    static bool parsePercent(const QString &text, int *percent);

    // From 0 to kBuckets - 1: the first 8 bytes of the SHA-256 of the id
    // (16 lower-case hex digits), ":" and the version, read big-endian,
    // modulo kBuckets.
    static int bucket(quint64 installId, const QString &version);

    // Whether the release is offered to the installation: its bucket lies
    // below percent * 100.
    static bool offered(quint64 installId, const QString &version, int percent);

    // Why the root's "rollout" cannot be obeyed (it is not a whole percent);
    // empty when it can, or when the root has none.
    static QString problem(const QDomElement &root);

    // How a release is offered to one installation.
    struct Decision
    {
        enum State { Offered, NotOffered, Unknown };
        State state = Offered;
        int percent = -1;     // the release's; -1 when it has no rollout
        bool ignored = false; // "--ignore_rollout" let it through
        QString reason;       // why it is not offered, or not known
    };
    // The decision for the release of `root` (its "rollout" and "version")
    // and the installation whose id is kept in `folder`. With mayWrite the
    // id is made there when missing; without, a missing id leaves the
    // decision Unknown. An id that cannot be had holds the release back:
    // a staged rollout is meant to limit who gets it.
    static Decision decide(const QDomElement &root, const QString &folder, bool mayWrite, bool ignore);
};

#endif // ROLLOUT_H
