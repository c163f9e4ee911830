#include "jobs/update_check.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>
#include <cstdlib>

#include "base/error.h"
#include "jobs/version_info.h"

namespace zelvan {
namespace {

// A description file is a dozen bytes; anything much larger is not one.
constexpr qint64 kMaxBodyBytes = 64 * 1024;

// The desktop's proxy settings (or http_proxy and no_proxy), except for this machine itself.
class SystemProxies : public QNetworkProxyFactory {
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery& query) override {
        const QString host = query.peerHostName();
        if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 || QHostAddress(host).isLoopback())
            return {QNetworkProxy(QNetworkProxy::NoProxy)};
        return systemProxyForQuery(query);
    }
};

}  // namespace

QString ProductSiteUrl() {
    QString base;
    if (const char* env = std::getenv("ZELVAN_UPDATE_URL"); env && *env)
        base = QString::fromUtf8(env);
    else
        base = QString::fromUtf8(kProductSite.data(), static_cast<qsizetype>(kProductSite.size()));
    while (base.endsWith(QLatin1Char('/'))) base.chop(1);
    return base;
}

QString UpdateDescriptionUrl() { return ProductSiteUrl() + QStringLiteral("/update/Update_new.ini"); }

QString DownloadPageUrl(std::string_view language) {
    if (language == "Russian") return ProductSiteUrl() + QStringLiteral("/index.php/ru/zagruzki-ru");
    if (language == "English") return ProductSiteUrl() + QStringLiteral("/index.php/en/downloads-en");
    return {};
}

QString UpdateAgentName() { return QStringLiteral("Zelvan Updater v") + QString::fromStdString(VersionString()); }

std::string FetchText(const QString& url, const QString& agentName, std::chrono::milliseconds timeout) {
    const std::string cannotOpen = "Cannot open URL " + url.toStdString();
    QNetworkAccessManager manager;
    manager.setProxyFactory(new SystemProxies);  // the manager owns it
    QNetworkRequest request{QUrl(url)};
    request.setHeader(QNetworkRequest::UserAgentHeader, agentName);
    // Always the server's answer: neither Qt's cache nor a proxy's copy.
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setRawHeader("Cache-Control", "no-cache");
    request.setRawHeader("Pragma", "no-cache");
    request.setTransferTimeout(static_cast<int>(timeout.count()));

    QNetworkReply* reply = manager.get(request);
    QByteArray body;
    bool tooLarge = false;
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::readyRead, &loop, [&] {
        body += reply->readAll();
        if (body.size() > kMaxBodyBytes) {
            tooLarge = true;
            reply->abort();
        }
    });
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    // A second guard besides the transfer time-out, which restarts with every byte received.
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, reply, &QNetworkReply::abort);
    deadline.start(timeout);
    // The window keeps painting while the server answers; clicks and keys wait, so no second
    // check can start inside this one.
    if (!reply->isFinished()) loop.exec(QEventLoop::ExcludeUserInputEvents);
    deadline.stop();

    if (!tooLarge && reply->isOpen()) body += reply->readAll();
    const QNetworkReply::NetworkError error = reply->error();
    const QString errorText = reply->errorString();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    delete reply;

    if (tooLarge) throw Error(cannotOpen + ": the answer is too large");
    if (error != QNetworkReply::NoError) throw Error(cannotOpen + ": " + errorText.toStdString());
    if (status >= 400) throw Error(cannotOpen + ": HTTP status " + std::to_string(status));
    return body.toStdString();
}

std::int32_t RemoteVersionNumber(std::string_view body) { return VersionNumber(body); }

bool UpdateReminderDue(const QDateTime& now, const QDateTime& lastUpdateDate) {
    if (!now.isValid() || !lastUpdateDate.isValid()) return false;
    constexpr qint64 kMsPerDay = 24LL * 60 * 60 * 1000;
    const qint64 wholeDays = std::llabs(lastUpdateDate.msecsTo(now)) / kMsPerDay;
    return wholeDays > 14;
}

}  // namespace zelvan
