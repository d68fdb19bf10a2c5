#pragma once

#include <QCache>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QUrl>

#include <chrono>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

// Fetches speaker icons over HTTP when a row first needs them and keeps the
// decoded images (and the failures) in a small in-memory cache, so reloading
// the list fetches nothing twice.
class IconLoader : public QObject {
    Q_OBJECT
public:
    // Speaker icons are a few kilobytes; anything much larger is not an icon.
    static constexpr qint64 maxIconBytes = 512 * 1024;
    static constexpr int maxIconPixels = 1024 * 1024;
    static constexpr int cacheEntries = 64;

    // network (not owned) may be null; the loader then makes its own.
    explicit IconLoader(QNetworkAccessManager* network = nullptr, QObject* parent = nullptr);

    // The image for url when it has been fetched: a null image when the fetch
    // or the decoding failed. std::nullopt while unknown; the fetch is then
    // started (once) and loaded() follows.
    std::optional<QImage> image(const QUrl& url);

    // image scaled to fit box, keeping its aspect, never down to an empty strip.
    static QImage fitted(const QImage& image, QSize box);

    // How many fetches have been started; for tests.
    int fetchCount() const { return m_fetchCount; }

    void setTransferTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }

Q_SIGNALS:
    void loaded(const QUrl& url);

private:
    void onFinished(QNetworkReply* reply, const QUrl& url);
    void remember(const QUrl& url, const QImage& image);

    QNetworkAccessManager* m_network = nullptr;
    QCache<QUrl, QImage> m_cache{cacheEntries};
    QHash<QUrl, QNetworkReply*> m_pending;
    std::chrono::milliseconds m_timeout{10000};
    int m_fetchCount = 0;
};
