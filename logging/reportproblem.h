#ifndef REPORTPROBLEM_H
#define REPORTPROBLEM_H

#include <QString>

namespace Logging {

// The logger's own trouble goes to stderr, never to a destination: a
// destination that logged about itself would wait on the logger's lock.
void reportProblem(const QString &text);

} // namespace Logging

#endif // REPORTPROBLEM_H
