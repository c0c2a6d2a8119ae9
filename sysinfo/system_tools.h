#pragma once

#include <QString>

// The file and program primitives the system-information launcher needs. A
// backslash in a path is a folder separator, as in the stored paths.

QString nativePath(const QString &path);

// The file's name when path names a regular file that is not hidden (its name
// does not start with "."), an empty text otherwise.
QString fileTest(const QString &path);

// Work a started program's child does before it execs, such as giving up
// what the program may do that the started one must not. It runs between fork
// and exec, so it may only make async-signal-safe calls.
using ChildSetup = void (*)() noexcept;

// Starts the program at path directly, detached, with no arguments and no
// shell, so no character of the path is interpreted; setup runs in the child
// first. Throws std::runtime_error when it cannot be started or the path is
// not absolute.
void startProgram(const QString &path, ChildSetup setup = nullptr);
