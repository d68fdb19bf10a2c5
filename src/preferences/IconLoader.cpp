#include "preferences/IconLoader.h"

#include <QBuffer>
#include <QImageReader>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace {

constexpr int kIconSize = 64; // kept at twice the row's 32 px for high-density screens

// Only what a speaker's description may name: plain web addresses, never
// local files or resources.
bool isFetchable(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty() &&
           (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

QImage decode(const QByteArray& bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    const QSize size = reader.size();
    // Checked before decoding, so a tiny file claiming a huge picture costs nothing.
    if (!size.isValid() || qint64(size.width()) * size.height() > IconLoader::maxIconPixels)
        return {};
    QImage image = reader.read();
    if (image.isNull())
        return {};
    if (image.width() > kIconSize || image.height() > kIconSize)
        image = IconLoader::fitted(image, QSize(kIconSize, kIconSize));
    return image;
}

} // namespace

IconLoader::IconLoader(QNetworkAccessManager* network, QObject* parent)
    : QObject(parent), m_network(network)
{
}

QImage IconLoader::fitted(const QImage& image, QSize box)
{
    // A long thin strip would round to no rows at all; keep at least one.
    const QSize size = image.size().scaled(box, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
    return image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

std::optional<QImage> IconLoader::image(const QUrl& url)
{
    if (const QImage* cached = m_cache.object(url))
        return *cached;
    if (!isFetchable(url)) {
        remember(url, QImage());
        return QImage();
    }
    if (m_pending.contains(url))
        return std::nullopt;
    if (!m_network)
        m_network = new QNetworkAccessManager(this);
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(int(m_timeout.count()));
    QNetworkReply* reply = m_network->get(request);
    ++m_fetchCount;
    m_pending.insert(url, reply);
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > maxIconBytes)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, url] { onFinished(reply, url); });
    return std::nullopt;
}

void IconLoader::onFinished(QNetworkReply* reply, const QUrl& url)
{
    reply->deleteLater();
    m_pending.remove(url);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    QImage image;
    if (reply->error() == QNetworkReply::NoError && status == 200 &&
        reply->bytesAvailable() <= maxIconBytes)
        image = decode(reply->readAll());
    remember(url, image);
    emit loaded(url);
}

void IconLoader::remember(const QUrl& url, const QImage& image)
{
    m_cache.insert(url, new QImage(image));
}
