#include "discovery/XmlFetcher.h"

#include "log/Logging.h"
#include "model/XmlText.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <algorithm>

namespace {

constexpr qint64 kReadAhead = 256 * 1024;

} // namespace

XmlFetcher::XmlFetcher(QNetworkAccessManager& network, Options options, QObject* parent)
    : QObject(parent), m_network(network), m_options(options)
{
}

XmlFetcher::~XmlFetcher()
{
    const auto replies = m_transfers.keys();
    m_transfers.clear();
    for (QNetworkReply* reply : replies) {
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
        reply->deleteLater();
    }
}

XmlFetcher::Document XmlFetcher::placeholder()
{
    static const Document document = [] {
        auto parsed = std::make_shared<pugi::xml_document>();
        XmlText::parse(*parsed, QByteArrayLiteral("<empty/>"));
        return parsed;
    }();
    return document;
}

void XmlFetcher::get(const QUrl& url, Completion completion)
{
    Logging::info(QStringLiteral("Fetching XML from ") + url.toString());
    QNetworkRequest request(url);
    request.setTransferTimeout(int(m_options.transferTimeout.count()));
    track(m_network.get(request), url, std::move(completion));
}

void XmlFetcher::postSoap(const QUrl& url, const QByteArray& soapAction, const QByteArray& envelope,
                          Completion completion)
{
    Logging::info(QStringLiteral("Fetching XML from ") + url.toString());
    QNetworkRequest request(url);
    request.setTransferTimeout(int(m_options.transferTimeout.count()));
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArrayLiteral("text/xml; charset=\"utf-8\""));
    request.setRawHeader("SOAPACTION", '"' + soapAction + '"');
    track(m_network.post(request, envelope), url, std::move(completion));
}

void XmlFetcher::track(QNetworkReply* reply, const QUrl& url, Completion completion)
{
    m_transfers.insert(reply, Transfer{url, std::move(completion), {}, false});
    // Qt's HTTP thread reads ahead without bound unless told; this keeps what
    // it holds small, so the body limit also limits memory.
    reply->setReadBufferSize(kReadAhead);
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] {
        const auto it = m_transfers.find(reply);
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (it != m_transfers.end() && length.isValid() &&
            length.toLongLong() > m_options.maxBodySize)
            abortTooLarge(reply, *it);
    });
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] { onReadyRead(reply); });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onFinished(reply); });
}

void XmlFetcher::onReadyRead(QNetworkReply* reply)
{
    const auto it = m_transfers.find(reply);
    if (it == m_transfers.end() || it->tooLarge)
        return;
    it->body += readBounded(reply, it->body.size());
    if (it->body.size() > m_options.maxBodySize)
        abortTooLarge(reply, *it);
}

QByteArray XmlFetcher::readBounded(QNetworkReply* reply, qint64 held) const
{
    // No more than one byte past the limit, so an oversized body is never held;
    // and no more than is there, since read(n) reserves n bytes first.
    const qint64 take = std::min(m_options.maxBodySize - held + 1, reply->bytesAvailable());
    return take > 0 ? reply->read(take) : QByteArray();
}

void XmlFetcher::abortTooLarge(QNetworkReply* reply, Transfer& transfer)
{
    transfer.tooLarge = true;
    transfer.body.clear();
    reply->abort(); // finishes the reply, which reports the failure
}

void XmlFetcher::onFinished(QNetworkReply* reply)
{
    reply->deleteLater();
    const auto it = m_transfers.find(reply);
    if (it == m_transfers.end())
        return;
    Transfer transfer = std::move(*it);
    m_transfers.erase(it);
    if (!transfer.tooLarge) {
        // The last bytes may still be buffered in the reply.
        transfer.body += readBounded(reply, transfer.body.size());
        transfer.tooLarge = transfer.body.size() > m_options.maxBodySize;
    }
    const QString url = transfer.url.toString();

    std::optional<FetchError> error;
    if (transfer.tooLarge) {
        error = FetchError{
            QStringLiteral("ResponseTooLargeErrorDomain"), -1,
            QStringLiteral("Response body larger than %1 bytes").arg(m_options.maxBodySize)};
    } else {
        // An HTTP error status still brings a body; only a failure below HTTP
        // (refused, reset, timed out) counts as a transport error.
        const bool answered = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
        const QNetworkReply::NetworkError code = reply->error();
        if (code != QNetworkReply::NoError && (!answered || code < 200))
            error = FetchError{QStringLiteral("QNetworkReplyErrorDomain"), qint64(code),
                               reply->errorString()};
        else if (!answered) {
            Logging::info(QStringLiteral("Failed to retrieve data from ") + url);
            transfer.completion(FetchError::make(QStringLiteral("GetXMLFailedErrorDomain")),
                                placeholder());
            return;
        }
    }
    if (error) {
        Logging::error(QStringLiteral("Failed to fetch XML from ") + url + QStringLiteral(" - ") +
                       error->text);
        transfer.completion(error, placeholder());
        return;
    }

    auto document = std::make_shared<pugi::xml_document>();
    const pugi::xml_parse_result parsed = XmlText::parse(*document, transfer.body);
    Logging::info(QStringLiteral("Received a response from ") + url);
    if (!parsed) {
        // pugixml keeps what it built before the error; a cut-off document
        // must not pass for a whole one.
        Logging::error(QStringLiteral("The XML from %1 does not parse: %2 at offset %3")
                           .arg(url, QString::fromUtf8(parsed.description()))
                           .arg(parsed.offset));
        transfer.completion(std::nullopt, placeholder());
        return;
    }
    transfer.completion(std::nullopt, document);
}
