#pragma once

#include "discovery/FetchError.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QUrl>

#include <pugixml.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

// Limits for XmlFetcher; tests shorten the time-out.
struct XmlFetcherOptions {
    // Longest wait for the next bytes of an answer.
    std::chrono::milliseconds transferTimeout{60'000};
    // A description is some tens of kilobytes; a broken or hostile device must
    // not make us buffer without end.
    qint64 maxBodySize = 4 * 1024 * 1024;
};

// Fetches speaker documents over HTTP and parses them, on the main event loop.
// Like any HTTP client we look at no status code: an error page is a document
// too. A failed fetch hands on the placeholder document <empty/>, and so does
// an answer that does not parse as a whole.
class XmlFetcher : public QObject {
    Q_OBJECT
public:
    using Options = XmlFetcherOptions;
    using Document = std::shared_ptr<const pugi::xml_document>;
    using Completion =
        std::function<void(const std::optional<FetchError>& error, const Document& document)>;

    XmlFetcher(QNetworkAccessManager& network, Options options, QObject* parent = nullptr);
    // Fetches still running are aborted without completing.
    ~XmlFetcher() override;

    // completion runs later from the event loop, never inside the call.
    void get(const QUrl& url, Completion completion);
    // A UPnP control call: POST of a SOAP envelope with its SOAPACTION.
    void postSoap(const QUrl& url, const QByteArray& soapAction, const QByteArray& envelope,
                  Completion completion);

    static Document placeholder();

private:
    struct Transfer {
        QUrl url;
        Completion completion;
        QByteArray body;
        bool tooLarge = false;
    };

    void track(QNetworkReply* reply, const QUrl& url, Completion completion);
    void onReadyRead(QNetworkReply* reply);
    void onFinished(QNetworkReply* reply);
    QByteArray readBounded(QNetworkReply* reply, qint64 held) const;
    void abortTooLarge(QNetworkReply* reply, Transfer& transfer);

    QNetworkAccessManager& m_network;
    const Options m_options;
    QHash<QNetworkReply*, Transfer> m_transfers;
};
