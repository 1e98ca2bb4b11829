// Catches: an update offered from a plain-http link, an oversized or slow
// manifest accepted or waited on forever, versions compared as text.

#include "window/Updates.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <qcoro/qcorotask.h>

namespace {

// A loopback web server that answers a request, once read (or the close would
// reset the connection), with `reply` and closes; an empty reply never comes.
struct FixedServer : QTcpServer {
    explicit FixedServer(const QByteArray& reply) {
        connect(this, &QTcpServer::newConnection, this, [this, reply] {
            QTcpSocket* socket = nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [socket, reply] {
                while (socket->canReadLine())
                    if (socket->readLine() == "\r\n" && !reply.isEmpty())
                        socket->write(reply), socket->disconnectFromHost();
            });
        });
        listen(QHostAddress::LocalHost, 0);
    }
};

QByteArray manifest(const char* version, const char* url) {
    return QByteArray("{\"version\": \"") + version + "\", \"url\": \"" + url + "\"}";
}

} // namespace

class UpdatesQtTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void onlyAnHttpsLinkInASmallObjectIsAManifest() {
        const std::pair<QByteArray, bool> bodies[] = {
            {"{\"version\":\"2\",\"url\":\"https://a.b/c\",\"x\":1}", true},
            {manifest("9", "http://example.org/q.zip"), false},
            {manifest("9", "file:///etc/passwd"), false},
            {manifest("9", "https://"), false},
            {"{\"version\":1.4,\"url\":\"https://a.b/\"}", false},
            {manifest("9", "https://a.b/").insert(1, QByteArray(Updates::maxManifestBytes, ' ')),
             false}};
        for (const auto& [body, decodes] : bodies)
            QVERIFY2(Updates::parseLatest(body).has_value() == decodes, body.left(60).constData());
        // Numbers too long for any integer type still compare (1.10 > 1.9 below).
        QVERIFY(Updates::compareVersions("1.123456789012345678901", "1.99999999999999999999") > 0);
        QCOMPARE(Updates::compareVersions("1.010", "1.10"), 0);
    }

    // A newer version is offered, the same one is not; a silent server times
    // out with the "could not check" answer.
    void theCheckAnswersOrRefuses() {
        const QByteArray ok = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n";
        const std::tuple<QByteArray, const char*, const char*> rows[] = {
            {ok + manifest("1.10", "https://example.org/q-1.10.zip"), "1.9",
             "https://example.org/q-1.10.zip"},
            {ok + manifest("1.10", "https://example.org/q-1.10.zip"), "1.10", ""},
            {"", "1.0", nullptr}};
        for (const auto& [reply, current, download] : rows) {
            FixedServer server(reply);
            const QUrl url(QStringLiteral("http://127.0.0.1:%1/q.json").arg(server.serverPort()));
            const std::chrono::seconds timeout(reply.isEmpty() ? 1 : 30); // the silent one ends
            const Updates::Answer answer = QCoro::waitFor(Updates::check(current, url, timeout));
            QCOMPARE(answer.download.value_or(QUrl()).toString(), QString(download));
            QCOMPARE(answer == Updates::answer(std::nullopt, current), !download);
        }
    }
};

QTEST_MAIN(UpdatesQtTest)
#include "UpdatesQtTest.moc"
