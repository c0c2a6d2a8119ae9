#pragma once

#include <QString>

// The file and program primitives the system-information launcher needs. A
// backslash in a path is a folder separator, as in the stored paths.

QString nativePath(const QString &path);

// The file's name when path names a regular file that is not hidden (its name
// does not start with "."), an empty text otherwise.
QString fileTest(const QString &path);

// Starts the program at path directly, detached, with no arguments and no
// shell, so no character of the path is interpreted. Throws
// std::runtime_error when it cannot be started or the path is not absolute.
void startProgram(const QString &path);
