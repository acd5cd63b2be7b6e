#pragma once

#include "httpanswer.h"

#include <QByteArray>

// Whether a retry may ask for the rest of a file instead of all of it, and whether the 206 that
// comes back is the rest of the same file. A server that ignores If-Range answers with the rest
// of whatever version it holds now; taking that would splice two versions into one file.
class RangeResume
{
public:
    // Off: every retry starts from zero (the list is small).
    void setEnabled(bool on) { enabled = on; }

    // A whole answer (200) starts the bookkeeping over. contentLength is -1 when not given.
    void wholeAnswer(const HttpAnswer::Headers &headers, qint64 contentLength);
    // Whether a request after `received` bytes asks for the rest only.
    bool canResume(qint64 received) const;
    QByteArray rangeHeader(qint64 received) const;
    QByteArray ifRangeHeader() const { return validator; }
    // A 206 to such a request: true when it carries the first answer's validator, starts where
    // the file stands, runs to the end of a file of the first answer's length, and its length
    // (-1 when not given) matches that range. Then expectedTotal() is what the file comes to.
    bool continues(const HttpAnswer::Headers &headers, qint64 received, qint64 contentLength);
    // -1 unless the current answer is an accepted 206.
    qint64 expectedTotal() const { return rangeTotal; }

private:
    bool enabled = true;
    bool offered = false;
    QByteArray validator;
    qint64 firstTotal = -1;
    qint64 rangeTotal = -1;
};
