#pragma once

#include <QtGlobal>

class QNetworkReply;

// True when the reply ended without a network error with a 2xx status (a 3xx that Qt did not
// follow is not a body we want), and, when the server announced a plain Content-Length, with
// exactly that many bytes received.
bool replyCompleted(const QNetworkReply &reply, qint64 bytesReceived);
