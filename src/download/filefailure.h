#pragma once

#include "transfer/transferfailure.h"

#include <QString>

// One file of a run that did not make it, by the name the progress line gave it.
struct FileFailure
{
    QString fileName;
    TransferFailure failure;
};

// "NAME: REASON", the reason in a few words the user can pass on ("f.dll: HTTP 404").
QString fileFailureText(const FileFailure &file);
