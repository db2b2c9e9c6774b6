/*
 * CodeLock.h - the code lock: a reviewed file, kept in version control beside the
 * catalogue sources, that lists the number of every class and the code of every error
 * they publish. A program built against an older header keeps working only while these
 * codes stay; TarvikCheck --source ... --lock compares the sources with the lock and
 * reports every code that would change.
 *
 * The file is plain text, one entry a line, classes in the order of their numbers and
 * each class followed by its errors in the order of their codes; blank lines and lines
 * that begin with # are comments:
 *
 *   class <CLASS> <number>
 *   error <CLASS> <error> 0x<code>
 *
 * with the class name upper-cased as in the generated files, the error name in its own
 * case, the number in decimal and the code in lower-case hexadecimal as in the header.
 */
#ifndef TARVIK_CODELOCK_H
#define TARVIK_CODELOCK_H

#include "CheckReport.h"
#include "SourceCheck.h"

#include <string>
#include <vector>

namespace tarvik::check
{

struct LockOptions {
    bool update = false;            /* write the lock with the additions */
    bool acceptRenumbering = false; /* with update: record changed and removed codes too */
    bool werror = false;            /* warnings count as errors: nothing is written then */
};

/*
 * Compares classes (a set of sources without errors) with the lock at path and adds the
 * differences to report: a class or error whose number or code changed, one that
 * disappeared, one inserted before the end of its class. Additions at the end are fine.
 * With options.update the lock is then rewritten from the sources when something was
 * added, and when something changed only with options.acceptRenumbering (the changes
 * are then warnings); nothing is written when report ends with a failure. A missing lock
 * is an error unless it is to be written.
 */
void CheckLock(const std::vector<ClassDecl> &classes, const std::string &path,
               const LockOptions &options, Report &report);

} // namespace tarvik::check

#endif
