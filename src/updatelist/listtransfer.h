#pragma once

class FileTransfer;
class QObject;
class QString;
class QUrl;
struct TransferPolicy;

// Which of the pair a transfer brings: each has a cap of its own.
enum class ListFile { List, Signature };

// A transfer, not yet started, of a list (the component list or the updater's) or of its .sig
// to targetPath: asked for past caches, capped at what any such file may hold, and fetched
// whole each time. Null when a link has the target's name: the bytes would be written wherever
// it leads (even one that points nowhere yet).
FileTransfer *newListTransfer(const QUrl &url, const QString &targetPath, ListFile file,
    const TransferPolicy &policy, QObject *parent);
