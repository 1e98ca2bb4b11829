#include "window/Updates.h"

#include <memory>

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>

#include <qcoro/qcorosignal.h>

#ifndef QUILLMARSH_VERSION
#error "QUILLMARSH_VERSION comes from the project version in CMake"
#endif

namespace Updates {

namespace {

QString tr(const char* text) {
    return QCoreApplication::translate("Updates", text);
}

// Compares two runs of digits by value without converting them, so runs too
// long for any integer still compare.
int compareDigits(QStringView left, QStringView right) {
    while (left.size() > 1 && left.front() == QLatin1Char('0'))
        left = left.mid(1);
    while (right.size() > 1 && right.front() == QLatin1Char('0'))
        right = right.mid(1);
    if (left.size() != right.size())
        return left.size() < right.size() ? -1 : 1;
    return left.compare(right);
}

qsizetype runEnd(QStringView text, qsizetype from) {
    const bool digits = text[from].isDigit();
    qsizetype end = from;
    while (end < text.size() && text[end].isDigit() == digits)
        ++end;
    return end;
}

} // namespace

QString currentVersion() {
    return QStringLiteral(QUILLMARSH_VERSION);
}

std::optional<Latest> parseLatest(QByteArrayView body) {
    if (body.size() > maxManifestBytes)
        return std::nullopt;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    const QJsonValue version = object.value(QLatin1String("version"));
    const QJsonValue url = object.value(QLatin1String("url"));
    if (!version.isString() || !url.isString())
        return std::nullopt;
    const QUrl address(url.toString(), QUrl::StrictMode);
    // Only a secure address is offered to the browser.
    if (!address.isValid() || address.scheme() != QLatin1String("https") ||
        address.host().isEmpty())
        return std::nullopt;
    return Latest{version.toString(), address};
}

int compareVersions(const QString& left, const QString& right) {
    const QStringView a(left);
    const QStringView b(right);
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        const qsizetype endA = runEnd(a, i);
        const qsizetype endB = runEnd(b, j);
        const QStringView runA = a.sliced(i, endA - i);
        const QStringView runB = b.sliced(j, endB - j);
        int order = 0;
        if (runA.front().isDigit() && runB.front().isDigit())
            order = compareDigits(runA, runB);
        else
            order = runA.compare(runB);
        if (order != 0)
            return order < 0 ? -1 : 1;
        i = endA;
        j = endB;
    }
    if (i < a.size())
        return 1;
    if (j < b.size())
        return -1;
    return 0;
}

Answer answer(const std::optional<Latest>& latest, const QString& current) {
    if (!latest)
        return {tr("Could not check for updates."), std::nullopt};
    if (compareVersions(latest->version, current) > 0)
        return {tr("Version %1 is available.").arg(latest->version), latest->url};
    return {tr("Quillmarsh %1 is up to date.").arg(current), std::nullopt};
}

QCoro::Task<Answer> check(QString current, QUrl manifest, std::chrono::milliseconds timeout) {
    QNetworkAccessManager network;
    network.setCache(nullptr);
    QNetworkRequest request(manifest);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setTransferTimeout(static_cast<int>(timeout.count()));

    std::unique_ptr<QNetworkReply> reply(network.get(request));
    // A body larger than any manifest ends the download at once.
    bool oversized = false;
    QNetworkReply* watched = reply.get();
    QObject::connect(watched, &QNetworkReply::downloadProgress, watched,
                     [watched, &oversized](qint64 received, qint64 total) {
                         if (received > maxManifestBytes || total > maxManifestBytes) {
                             oversized = true;
                             watched->abort();
                         }
                     });
    if (!reply->isFinished())
        co_await qCoro(watched, &QNetworkReply::finished);

    // The status code is not looked at: an error page simply does not decode.
    // A failure below the protocol (no network, time-out, TLS) is no answer.
    const QNetworkReply::NetworkError error = reply->error();
    const bool answered = error == QNetworkReply::NoError ||
                          (error >= QNetworkReply::ContentAccessDenied &&
                           reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid());
    if (oversized || !answered)
        co_return answer(std::nullopt, current);
    const QByteArray body = reply->read(maxManifestBytes + 1);
    co_return answer(parseLatest(body), current);
}

} // namespace Updates
