#include "support/TestData.h"

#include <QFile>
#include <QtTest>

QByteArray testData(const QString& relativePath)
{
    QFile file(QStringLiteral(TEST_DATA_DIR "/") + relativePath);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("test data file %s is missing", qPrintable(file.fileName()));
    return file.readAll();
}
