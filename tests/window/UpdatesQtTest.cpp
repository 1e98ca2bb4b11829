#include "window/Updates.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <qcoro/qcorotask.h>

namespace {

// A loopback web server: a body per path (404 for others), sent with or
// without its length, each connection answered once and closed.
class FixedServer : public QTcpServer {
public:
    explicit FixedServer(QMap<QString, std::pair<QByteArray, bool>> bodies)
        : m_bodies(std::move(bodies)) {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = nextPendingConnection())
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { serve(socket); });
        });
        listen(QHostAddress::LocalHost, 0);
    }
    QUrl url(const QString& path) const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(serverPort()).arg(path));
    }

private:
    void serve(QTcpSocket* socket) {
        QByteArray& request = m_requests[socket];
        request += socket->readAll();
        if (!request.contains("\r\n\r\n"))
            return;
        const QString path = QString::fromLatin1(request.split(' ').value(1));
        const auto [body, withLength] = m_bodies.value(path, {"<html/>", true});
        socket->write((m_bodies.contains(path) ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.1 404 No\r\n") +
                      (withLength ? "Content-Length: " + QByteArray::number(body.size()) : "") +
                      "\r\nConnection: close\r\n\r\n" + body);
        socket->disconnectFromHost();
    }

    QMap<QString, std::pair<QByteArray, bool>> m_bodies;
    QHash<QTcpSocket*, QByteArray> m_requests;
};

QByteArray manifest(const char* version, const char* url) {
    return QByteArray("{\"version\": \"") + version + "\", \"url\": \"" + url + "\"}";
}

QByteArray oversized() {
    return manifest("9.9", "https://example.org/q.zip")
        .insert(1, QByteArray(Updates::maxManifestBytes + 1, ' '));
}

} // namespace

class UpdatesQtTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void versionsCompareByTheValueOfTheirNumbers() {
        const std::pair<const char*, const char*> newerOlder[] = {
            {"1.10", "1.9"},
            {"1.2.0", "1.2"},
            {"1.123456789012345678901", "1.99999999999999999999"}};
        for (const auto& [newer, older] : newerOlder) {
            QVERIFY2(Updates::compareVersions(newer, older) > 0, newer);
            QVERIFY2(Updates::compareVersions(older, newer) < 0, newer);
        }
        QCOMPARE(Updates::compareVersions("1.010", "1.10"), 0);
    }

    void onlyAnHttpsLinkInASmallObjectIsAManifest() {
        const std::pair<QByteArray, bool> bodies[] = {
            {"{\"version\":\"2\",\"url\":\"https://a.b/c\",\"x\":1}", true},
            {manifest("9", "http://example.org/q.zip"), false},
            {manifest("9", "file:///etc/passwd"), false},
            {manifest("9", "https://"), false},
            {"{\"version\":1.4,\"url\":\"https://a.b/\"}", false},
            {"<html></html>", false}};
        for (const auto& [body, decodes] : bodies)
            QVERIFY2(Updates::parseLatest(body).has_value() == decodes, body.constData());
    }

    // Every refusal is the same "could not check" answer, without a download;
    // a silent server times out.
    void theCheckAnswersOrRefuses() {
        FixedServer server({{"/newer", {manifest("1.10", "https://example.org/q-1.10.zip"), true}},
                            {"/insecure", {manifest("9.9", "http://example.org/q.zip"), true}},
                            {"/huge", {oversized(), true}},
                            {"/hugeStream", {oversized(), false}}});
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        const std::tuple<QUrl, const char*, const char*> rows[] = {
            {server.url("/newer"), "1.9", "https://example.org/q-1.10.zip"},
            {server.url("/newer"), "1.10", ""},
            {server.url("/missing"), "1.0", nullptr},
            {server.url("/insecure"), "1.0", nullptr},
            {server.url("/huge"), "1.0", nullptr},
            {server.url("/hugeStream"), "1.0", nullptr},
            {QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(silent.serverPort())), "1.0",
             nullptr}};
        for (const auto& [url, current, download] : rows) {
            // Only the silent server needs its time-out.
            const std::chrono::seconds timeout(url.port() == silent.serverPort() ? 1 : 30);
            const Updates::Answer answer = QCoro::waitFor(Updates::check(current, url, timeout));
            QCOMPARE(answer.download.value_or(QUrl()).toString(), QString(download));
            QCOMPARE(answer == Updates::answer(std::nullopt, current), !download);
        }
    }
};

QTEST_MAIN(UpdatesQtTest)
#include "UpdatesQtTest.moc"
