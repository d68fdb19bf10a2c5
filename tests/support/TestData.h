#pragma once

#include <QByteArray>
#include <QString>

// Reads a file under tests/data; fails the calling test when it is missing.
QByteArray testData(const QString& relativePath);
