#pragma once

#include "discovery/GenaCallbackServer.h"
#include "discovery/XmlFetcher.h"
#include "model/ZoneGroupState.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <optional>
#include <utility>

class QNetworkAccessManager;
class QNetworkReply;

// Timers and limits of a ZoneGroupEvents; tests shorten them.
struct ZoneGroupEventsOptions {
    // TIMEOUT asked for in a SUBSCRIBE; the speaker grants what it likes.
    std::chrono::seconds requestedDuration{3600};
    // Renewal at this share of the granted time, never sooner than minimumRenewDelay
    // (a speaker granting nothing must not make us renew without pause).
    double renewAt = 0.8;
    std::chrono::milliseconds minimumRenewDelay{10'000};
    // Every request to a speaker (description, SUBSCRIBE, UNSUBSCRIBE, GetZoneGroupState).
    std::chrono::milliseconds requestTimeout{5'000};
    // The first NOTIFY follows a SUBSCRIBE at once; none in this time means
    // something (a host firewall, say) drops connections to our callback.
    std::chrono::milliseconds firstEventTimeout{5'000};
    // How often GetZoneGroupState is asked for when events do not work.
    std::chrono::milliseconds pollInterval{60'000};
    // Where the callback server listens; null: the local address that reaches the speaker.
    QHostAddress callbackAddress{};
    GenaCallbackServerOptions callback{};
};

// Follows the zone groups of one Sonos household: subscribes to UPnP events
// of one of its speakers' ZoneGroupTopology service and reports the
// ZoneGroupState each event carries. The speakers given to start() are tried
// in turn until one accepts; when none does, a subscription lapses and no
// other speaker takes it, or no event arrives after subscribing, it asks for
// GetZoneGroupState every pollInterval instead. Does nothing until start().
class ZoneGroupEvents : public QObject {
    Q_OBJECT
public:
    using Options = ZoneGroupEventsOptions;

    enum class Mode {
        Stopped,
        Subscribing, // fetching a description or waiting for a SUBSCRIBE answer
        Subscribed,  // events arrive at our callback
        Polling,     // GetZoneGroupState every pollInterval
    };
    Q_ENUM(Mode)

    // network (not owned) may be null, and then the instance makes its own.
    explicit ZoneGroupEvents(Options options = {}, QNetworkAccessManager* network = nullptr,
                             QObject* parent = nullptr);
    // Stops, which sends the UNSUBSCRIBE on its way.
    ~ZoneGroupEvents() override;

    // Follows the household of these speakers (description locations, in
    // order of preference), after stopping whatever ran before.
    void start(const QList<QUrl>& speakers);
    // Unsubscribes (best effort: the request is sent, not waited for) and
    // stops polling; nothing is reported afterwards.
    void stop();

    Mode mode() const { return m_mode; }
    // Description location of the speaker subscribed to or polled; empty when stopped.
    QUrl speaker() const;

signals:
    // The household's groups, whenever a state differing from the last one
    // reported since start() arrives, by event or by polling.
    void groupStateChanged(const ZoneGroupState& state);
    void modeChanged(ZoneGroupEvents::Mode mode);

private:
    struct Speaker {
        QUrl eventUrl;
        QUrl controlUrl;
    };

    void setMode(Mode mode);
    void tryCandidate();
    void nextCandidate();
    void onDescription(const QUrl& location, const std::optional<FetchError>& error,
                       const XmlFetcher::Document& document);
    void subscribe();
    void renew();
    QNetworkReply* sendGena(const QByteArray& verb, const QUrl& url,
                            const QList<QPair<QByteArray, QByteArray>>& headers);
    void onSubscribed(QNetworkReply* reply, bool renewal);
    void onNotified(const QString& sid, const QByteArray& body);
    void onEvent(const QByteArray& body);
    void onFirstEventTimeout();
    void unsubscribe();
    void startPolling(const QString& why);
    void poll();
    void onZoneGroupState(const std::optional<FetchError>& error,
                          const XmlFetcher::Document& document);
    void report(const QByteArray& stateText);

    const Options m_options;
    QNetworkAccessManager* m_network = nullptr;
    XmlFetcher* m_fetcher = nullptr;
    GenaCallbackServer* m_server = nullptr;
    Mode m_mode = Mode::Stopped;
    // Bumped on every start and stop and on every change of speaker; answers
    // that arrive for an older one are dropped.
    quint64 m_generation = 0;

    QList<QUrl> m_candidates;
    qsizetype m_current = 0;
    qsizetype m_tried = 0;           // candidates tried in this round
    QHash<QUrl, Speaker> m_speakers; // by description location, once fetched

    QNetworkReply* m_request = nullptr; // SUBSCRIBE or renewal under way
    QString m_sid;
    bool m_eventSeen = false;
    // A NOTIFY that overtook its SUBSCRIBE answer: SID and body.
    std::optional<std::pair<QString, QByteArray>> m_early;
    bool m_fetchingState = false;
    QByteArray m_lastState;

    QTimer m_renewTimer;
    QTimer m_firstEventTimer;
    QTimer m_pollTimer;
};
