// Paths between the window's texts and the system calls or the Qt-free core, which take a name
// as bytes: in the file system's encoding both ways, so that a name with letters beyond ASCII is
// created, found and shown as the user typed it.
#ifndef RAVIK_DEVICE_RMTPATH_H
#define RAVIK_DEVICE_RMTPATH_H

#include <string>

#include <QByteArray>
#include <QFile>
#include <QString>

inline std::string toFileName(const QString& path) { return QFile::encodeName(path).toStdString(); }

// Also for a message of the core that carries file names.
inline QString fromFileName(const std::string& name) {
  return QFile::decodeName(QByteArray::fromStdString(name));
}

#endif
