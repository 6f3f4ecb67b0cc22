#ifndef REPORTPROBLEM_H
#define REPORTPROBLEM_H

#include <QString>

namespace Logging {

// The logger's own trouble goes to stderr, never to a destination: a
// destination that logged about itself would wait on the logger's lock.
// The fixed text comes first, then the system's reason in parentheses, so
// that "could not open" also says whether it was a missing folder or a
// permission. No line break follows.
void reportProblem(const QString &text, const QString &reason);

} // namespace Logging

#endif // REPORTPROBLEM_H
