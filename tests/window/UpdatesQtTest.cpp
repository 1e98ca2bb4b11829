#include "window/Updates.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <qcoro/qcorotask.h>

namespace {

// A loopback web server: one fixed answer per path (404 for others), each
// connection answered once and closed.
class FixedServer : public QObject {
public:
    struct Response {
        int status = 200;
        QByteArray body;
        bool withLength = true;
    };

    explicit FixedServer(QMap<QString, Response> responses) : m_responses(std::move(responses)) {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                socket->setParent(this);
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { serve(socket); });
            }
        });
        m_server.listen(QHostAddress::LocalHost, 0);
    }

    QUrl url(const QString& path) const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path));
    }

private:
    void serve(QTcpSocket* socket) {
        QByteArray& request = m_requests[socket];
        request += socket->readAll();
        if (!request.contains("\r\n\r\n"))
            return;
        const QString path = QString::fromLatin1(request.split(' ').value(1));
        const Response response = m_responses.value(path, Response{404, "<html/>", true});
        QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + " X\r\n" +
                          "Content-Type: application/json\r\nConnection: close\r\n";
        if (response.withLength)
            head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
        socket->write(head + "\r\n" + response.body);
        socket->disconnectFromHost();
    }

    QTcpServer m_server;
    QMap<QString, Response> m_responses;
    QHash<QTcpSocket*, QByteArray> m_requests;
};

QByteArray manifest(const char* version, const char* url) {
    return QByteArray("{\"version\": \"") + version + "\", \"url\": \"" + url + "\"}";
}

QByteArray oversized() {
    QByteArray body = manifest("9.9", "https://example.org/q.zip");
    return body.insert(1, QByteArray(Updates::maxManifestBytes + 1, ' '));
}

} // namespace

class UpdatesQtTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void versionsCompareByTheValueOfTheirNumbers_data() {
        QTest::addColumn<QString>("newer");
        QTest::addColumn<QString>("older");
        QTest::newRow("1.10 > 1.9") << "1.10"
                                    << "1.9";
        QTest::newRow("longer") << "1.2.0"
                                << "1.2";
        QTest::newRow("anything > 0") << "0.0.1"
                                      << "0";
        QTest::newRow("huge runs") << "1.123456789012345678901"
                                   << "1.99999999999999999999";
        QTest::newRow("letters") << "2.0b"
                                 << "2.0a";
    }
    void versionsCompareByTheValueOfTheirNumbers() {
        QFETCH(QString, newer);
        QFETCH(QString, older);
        QVERIFY(Updates::compareVersions(newer, older) > 0);
        QVERIFY(Updates::compareVersions(older, newer) < 0);
        QCOMPARE(Updates::compareVersions(newer, newer), 0);
        QCOMPARE(Updates::compareVersions("1.010", "1.10"), 0);
    }

    void onlyAnHttpsLinkInASmallObjectIsAManifest_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("decodes");
        QTest::newRow("good") << manifest("1.4", "https://example.org/q.zip") << true;
        QTest::newRow("extra keys")
            << QByteArray("{\"version\":\"2\",\"url\":\"https://a.b/c\",\"x\":1}") << true;
        QTest::newRow("plain http") << manifest("9", "http://example.org/q.zip") << false;
        QTest::newRow("file") << manifest("9", "file:///etc/passwd") << false;
        QTest::newRow("no host") << manifest("9", "https://") << false;
        QTest::newRow("no url") << QByteArray("{\"version\":\"1.4\"}") << false;
        QTest::newRow("number version")
            << QByteArray("{\"version\":1.4,\"url\":\"https://a.b/\"}") << false;
        QTest::newRow("html") << QByteArray("<html></html>") << false;
        QTest::newRow("oversized") << oversized() << false;
    }
    void onlyAnHttpsLinkInASmallObjectIsAManifest() {
        QFETCH(QByteArray, body);
        QFETCH(bool, decodes);
        QCOMPARE(Updates::parseLatest(body).has_value(), decodes);
    }

    void theCheckAnswersOrRefuses_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("current");
        QTest::addColumn<QString>("download"); // empty: none
        QTest::addColumn<bool>("failed");
        QTest::newRow("newer") << "/newer"
                               << "1.9"
                               << "https://example.org/q-1.10.zip" << false;
        QTest::newRow("up to date") << "/newer"
                                    << "1.10"
                                    << "" << false;
        QTest::newRow("not found") << "/missing"
                                   << "1.0"
                                   << "" << true;
        QTest::newRow("http link") << "/insecure"
                                   << "1.0"
                                   << "" << true;
        QTest::newRow("oversized") << "/huge"
                                   << "1.0"
                                   << "" << true;
        QTest::newRow("oversized, no length") << "/hugeStream"
                                              << "1.0"
                                              << "" << true;
    }
    void theCheckAnswersOrRefuses() {
        QFETCH(QString, path);
        QFETCH(QString, current);
        QFETCH(QString, download);
        QFETCH(bool, failed);
        FixedServer server({{"/newer", {200, manifest("1.10", "https://example.org/q-1.10.zip")}},
                            {"/insecure", {200, manifest("9.9", "http://example.org/q.zip")}},
                            {"/huge", {200, oversized()}},
                            {"/hugeStream", {200, oversized(), false}}});
        const Updates::Answer answer = QCoro::waitFor(Updates::check(current, server.url(path)));
        QCOMPARE(answer.download.value_or(QUrl()).toString(), download);
        QCOMPARE(answer.message == Updates::answer(std::nullopt, current).message, failed);
    }

    void aSilentServerTimesOut() {
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        const QUrl url(QStringLiteral("http://127.0.0.1:%1/latest.json").arg(silent.serverPort()));
        const Updates::Answer answer =
            QCoro::waitFor(Updates::check("1.0", url, std::chrono::milliseconds(300)));
        QCOMPARE(answer, Updates::answer(std::nullopt, "1.0"));
        QCOMPARE(QUrl(QString::fromLatin1(Updates::manifestAddress)).scheme(),
                 QStringLiteral("https"));
    }
};

QTEST_MAIN(UpdatesQtTest)
#include "UpdatesQtTest.moc"
